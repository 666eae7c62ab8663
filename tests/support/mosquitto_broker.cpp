#include "support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace weft_test {

namespace {

bool accepts_connections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

const char* mosquitto_program() {
  for (const char* path : {"/usr/sbin/mosquitto", "/usr/bin/mosquitto"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  throw std::runtime_error("mosquitto is not installed (scripts/install-deps.sh installs it)");
}

}  // namespace

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("no free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

MosquittoBroker::MosquittoBroker() : port_(free_port()), dir_(temp_path("broker")) {
  ::mkdir(dir_.c_str(), 0755);
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0) port_ = free_port();
    write_config();
    if (start()) return;
  }
  throw std::runtime_error("mosquitto did not start: " + log());
}

void MosquittoBroker::write_config() {
  write_file(dir_ + "/mosquitto.conf", "listener " + std::to_string(port_) +
                                           " 127.0.0.1\n"
                                           "allow_anonymous true\n"
                                           "persistence true\n"
                                           "persistence_location " +
                                           dir_ +
                                           "/\n"
                                           "autosave_interval 1\n"
                                           "max_queued_messages 0\n"
                                           "max_inflight_messages 0\n"
                                           "log_dest stderr\n"
                                           "log_type error\n"
                                           "log_type warning\n"
                                           // connections and keep-alive time-outs
                                           "log_type notice\n");
}

MosquittoBroker::~MosquittoBroker() {
  stop();
}

void MosquittoBroker::stop() {
  if (process_) {
    process_->kill();
    process_.reset();
  }
}

void MosquittoBroker::pause() {
  if (process_) ::kill(process_->pid(), SIGSTOP);
}

void MosquittoBroker::resume() {
  if (process_) ::kill(process_->pid(), SIGCONT);
}

bool MosquittoBroker::start() {
  stop();
  process_ = std::make_unique<ChildProcess>(
      mosquitto_program(), std::vector<std::string>{"-c", dir_ + "/mosquitto.conf"});
  for (int i = 0; i < 200; ++i) {
    if (accepts_connections(port_)) {
      // Another program may hold the port (another test's broker took the
      // same free port): this broker then ends at once with "Address already
      // in use", and a test must not share someone else's broker.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return process_->running();
    }
    if (!process_->running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

std::string MosquittoBroker::log() const {
  return process_ ? process_->err() : "";
}

}  // namespace weft_test
