#include "support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
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
  launch();
}

MosquittoBroker::MosquittoBroker(const BrokerSecurity& security)
    : port_(free_port()), secure_(true), security_(security), dir_(temp_path("broker")) {
  ::mkdir(dir_.c_str(), 0700);
  const std::string passwords = dir_ + "/passwd";
  for (size_t i = 0; i < security_.users.size(); ++i) {
    std::vector<std::string> args{"-b", passwords, security_.users[i].first,
                                  security_.users[i].second};
    if (i == 0) args.insert(args.begin(), "-c");
    ChildProcess tool("/usr/bin/mosquitto_passwd", args);
    if (tool.wait_exit(std::chrono::seconds(30)) != 0) {
      throw std::runtime_error("mosquitto_passwd failed: " + tool.err());
    }
  }
  write_file(dir_ + "/acl", security_.acl);
  launch();
}

void MosquittoBroker::launch() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0) port_ = free_port();
    if (secure_) {
      tls_port_ = free_port();
      mtls_port_ = free_port();
    }
    write_config();
    if (start()) return;
  }
  throw std::runtime_error("mosquitto did not start: " + log());
}

void MosquittoBroker::write_config() {
  std::string secure;
  if (secure_) {
    const std::string files = "cafile " + security_.ca_file + "\ncertfile " + security_.cert_file +
                              "\nkeyfile " + security_.key_file + "\nallow_anonymous false\n" +
                              "acl_file " + dir_ + "/acl\n";
    // Started as root, the broker would switch to its own user, who cannot
    // read the test's private keys and password file.
    const passwd* self = ::getpwuid(::getuid());
    if (self != nullptr) secure = std::string("user ") + self->pw_name + "\n";
    secure += "listener " + std::to_string(tls_port_) + " localhost\n" + files + "password_file " +
              dir_ + "/passwd\n" + "listener " + std::to_string(mtls_port_) + " localhost\n" +
              files + "require_certificate true\nuse_identity_as_username true\n";
  }
  write_file(dir_ + "/mosquitto.conf", std::string(secure_ ? "per_listener_settings true\n" : "") +
                                           "listener " + std::to_string(port_) +
                                           " 127.0.0.1\n"
                                           "allow_anonymous true\n" +
                                           secure +
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
