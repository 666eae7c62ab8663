#include "support/fake_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <list>
#include <stdexcept>

namespace weft_test {

namespace {

// Packet types of the fixed header's high nibble.
constexpr unsigned char kConnect = 1;
constexpr unsigned char kPublish = 3;
constexpr unsigned char kPubrel = 6;
constexpr unsigned char kSubscribe = 8;
constexpr unsigned char kPingreq = 12;
constexpr unsigned char kDisconnect = 14;
// A test never sends more; anything larger is a broken client.
constexpr size_t kMaxPacket = size_t{1} << 24;

qor::UniqueFd listen_on_loopback(int backlog, int* port) {
  qor::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), backlog) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  *port = ntohs(address.sin_port);
  return fd;
}

void send_all(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

std::string packet(unsigned char first, const std::string& body) {
  std::string out(1, static_cast<char>(first));
  size_t length = body.size();
  do {
    unsigned char digit = length % 128;
    length /= 128;
    if (length > 0) digit |= 0x80;
    out += static_cast<char>(digit);
  } while (length > 0);
  return out + body;
}

std::string two_bytes(unsigned value) {
  return std::string{static_cast<char>(value >> 8 & 0xff), static_cast<char>(value & 0xff)};
}

unsigned read_two(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) << 8 | static_cast<unsigned char>(bytes[at + 1]);
}

}  // namespace

FakeBroker::FakeBroker(Behaviour behaviour) : behaviour_(behaviour) {
  listener_ = listen_on_loopback(16, &port_);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  wake_read_ = qor::UniqueFd(pipe_fds[0]);
  wake_write_ = qor::UniqueFd(pipe_fds[1]);
  thread_ = std::thread(&FakeBroker::serve, this);
}

FakeBroker::~FakeBroker() {
  running_ = false;
  if (::write(wake_write_.get(), "x", 1) < 0) {
    // The pipe is never full while the thread runs; the poll timeout ends it anyway.
  }
  thread_.join();
}

void FakeBroker::set_behaviour(Behaviour behaviour) {
  std::lock_guard<std::mutex> guard(lock_);
  behaviour_ = behaviour;
}

FakeBroker::Behaviour FakeBroker::behaviour() const {
  std::lock_guard<std::mutex> guard(lock_);
  return behaviour_;
}

std::vector<std::string> FakeBroker::payloads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return payloads_;
}

void FakeBroker::drop_clients() {
  drop_requested_ = true;
  if (::write(wake_write_.get(), "x", 1) < 0) {
    // See the destructor.
  }
}

void FakeBroker::serve() {
  std::list<Client> clients;
  while (running_) {
    std::vector<pollfd> fds{{listener_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    for (Client& client : clients) fds.push_back({client.socket.get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), 200) < 0) continue;
    if (fds[1].revents != 0) {
      char drain[64];
      while (::read(wake_read_.get(), drain, sizeof drain) > 0) {
      }
    }
    if (drop_requested_.exchange(false)) {
      clients.clear();
      continue;
    }
    size_t index = 2;
    for (auto it = clients.begin(); it != clients.end(); ++index) {
      bool keep = true;
      if (fds[index].revents != 0) {
        char buffer[65536];
        const ssize_t n = ::recv(it->socket.get(), buffer, sizeof buffer, 0);
        keep = n > 0;
        if (keep) {
          it->input.append(buffer, static_cast<size_t>(n));
          keep = handle_packets(*it);
        }
      }
      it = keep ? std::next(it) : clients.erase(it);
    }
    if (fds[0].revents != 0) {
      qor::UniqueFd accepted(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!accepted.valid()) continue;
      ++connections_;
      if (!behaviour().close_on_accept) clients.push_back(Client{std::move(accepted), {}});
    }
  }
}

bool FakeBroker::handle_packets(Client& client) {
  for (;;) {
    std::string& in = client.input;
    if (in.size() < 2) return true;
    size_t length = 0;
    size_t at = 1;
    int shift = 0;
    for (;;) {
      if (at >= in.size()) return true;
      const unsigned char digit = static_cast<unsigned char>(in[at++]);
      length |= static_cast<size_t>(digit & 0x7f) << shift;
      shift += 7;
      if ((digit & 0x80) == 0) break;
      if (shift > 21) return false;
    }
    if (length > kMaxPacket) return false;
    if (in.size() - at < length) return true;
    const unsigned char first = static_cast<unsigned char>(in[0]);
    const std::string body = in.substr(at, length);
    in.erase(0, at + length);
    if (!handle(client, first >> 4, first & 0x0f, body)) return false;
  }
}

bool FakeBroker::handle(Client& client, unsigned char type, unsigned char flags,
                        const std::string& body) {
  const Behaviour now = behaviour();
  const int fd = client.socket.get();
  switch (type) {
    case kConnect: {
      const std::string connack{0, static_cast<char>(now.connack_code)};
      send_all(fd, packet(0x20, connack));
      return now.connack_code == 0;
    }
    case kPublish: {
      if (body.size() < 2) return false;
      const size_t topic_length = read_two(body, 0);
      const int qos = flags >> 1 & 3;
      size_t at = 2 + topic_length;
      unsigned id = 0;
      if (qos > 0) {
        if (body.size() < at + 2) return false;
        id = read_two(body, at);
        at += 2;
      }
      if (body.size() < at) return false;
      {
        std::lock_guard<std::mutex> guard(lock_);
        payloads_.push_back(body.substr(at));
      }
      if (now.acknowledge && qos == 1) send_all(fd, packet(0x40, two_bytes(id)));
      if (now.acknowledge && qos == 2) send_all(fd, packet(0x50, two_bytes(id)));
      return true;
    }
    case kPubrel:
      if (body.size() < 2) return false;
      if (now.acknowledge) send_all(fd, packet(0x70, body.substr(0, 2)));
      return true;
    case kSubscribe: {
      if (body.size() < 2) return false;
      std::string suback = body.substr(0, 2);
      // One granted QoS per filter: each filter is a length, the text, a QoS byte.
      for (size_t at = 2; at + 2 <= body.size();) {
        at += 2 + read_two(body, at);
        if (at >= body.size()) return false;
        suback += static_cast<char>(body[at] & 3);
        ++at;
      }
      send_all(fd, packet(0x90, suback));
      return true;
    }
    case kPingreq:
      send_all(fd, packet(0xd0, ""));
      return true;
    case kDisconnect:
      return false;
    default:
      return true;
  }
}

SynDropListener::SynDropListener() {
  listener_ = listen_on_loopback(0, &port_);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Connections that complete fill the accept queue; the kernel then drops
  // every further SYN. A few non-blocking attempts make sure it is full.
  for (int i = 0; i < 4; ++i) {
    qor::UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!filler.valid()) break;
    ::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers_.push_back(std::move(filler));
  }
}

}  // namespace weft_test
