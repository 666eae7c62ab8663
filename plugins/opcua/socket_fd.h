#pragma once

#include <string>

// Owns one socket descriptor and closes it on destruction. Not copyable.
//
// Thread rules: one owner at a time; fd() may be used by several threads as
// long as the owner keeps the object alive.
class SocketFd {
 public:
  SocketFd() = default;
  explicit SocketFd(int fd) : fd_(fd) {}
  ~SocketFd() { reset(); }
  SocketFd(const SocketFd&) = delete;
  SocketFd& operator=(const SocketFd&) = delete;
  SocketFd(SocketFd&& other) noexcept : fd_(other.release()) {}
  SocketFd& operator=(SocketFd&& other) noexcept;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();
  void reset(int fd = -1);

  // A blocking TCP connection to host:port, given up after timeout_ms. An
  // invalid SocketFd and a reason in *error on failure.
  static SocketFd connect_tcp(const std::string& host, int port, int timeout_ms,
                              std::string* error);

 private:
  int fd_ = -1;
};
