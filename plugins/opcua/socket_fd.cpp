#include "socket_fd.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

bool set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

// Connects fd to address within timeout_ms; errno-style code on failure.
int connect_within(int fd, const addrinfo* address, int timeout_ms) {
  if (!set_blocking(fd, false)) return errno;
  if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return errno;
    pollfd waiter{fd, POLLOUT, 0};
    const int ready = ::poll(&waiter, 1, timeout_ms);
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    if (error != 0) return error;
  }
  return set_blocking(fd, true) ? 0 : errno;
}

}  // namespace

SocketFd& SocketFd::operator=(SocketFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int SocketFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void SocketFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

SocketFd SocketFd::connect_tcp(const std::string& host, int port, int timeout_ms,
                               std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0) {
    *error = std::string("cannot resolve ") + host + ": " + ::gai_strerror(resolved);
    return SocketFd();
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> addresses(found);
  int last_error = ECONNREFUSED;
  for (const addrinfo* a = addresses.get(); a != nullptr; a = a->ai_next) {
    SocketFd socket(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!socket.valid()) {
      last_error = errno;
      continue;
    }
    last_error = connect_within(socket.fd(), a, timeout_ms);
    if (last_error == 0) {
      const int on = 1;
      ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return socket;
    }
  }
  *error =
      std::string("cannot connect to ") + host + ":" + service + ": " + std::strerror(last_error);
  return SocketFd();
}
