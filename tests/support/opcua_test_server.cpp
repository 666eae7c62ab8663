#include "support/opcua_test_server.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "support/mosquitto_broker.h"

namespace weft_test {

namespace {

std::string node_program() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/node";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error("node is not installed (scripts/install-deps.sh installs it)");
}

std::string server_dir() {
  const std::string dir = source_dir() + "/tests/opcua_server";
  if (!file_exists(dir + "/node_modules")) {
    throw std::runtime_error(dir + "/node_modules is missing (run scripts/install-deps.sh)");
  }
  return dir;
}

}  // namespace

OpcuaTestServer::OpcuaTestServer(std::vector<std::string> args)
    : port_(free_port()), args_(std::move(args)) {
  if (!start()) throw std::runtime_error("OPC UA test server did not start: " + log());
}

OpcuaTestServer::~OpcuaTestServer() {
  stop();
}

void OpcuaTestServer::stop() {
  if (process_) {
    resume();
    process_->kill();
    process_.reset();
  }
}

bool OpcuaTestServer::start(const std::vector<std::string>& args) {
  stop();
  args_ = args;
  const std::string dir = server_dir();
  std::vector<std::string> argv{dir + "/server.js", std::to_string(port_)};
  argv.insert(argv.end(), args_.begin(), args_.end());
  process_ = std::make_unique<ChildProcess>(node_program(), argv,
                                            std::map<std::string, std::string>{}, dir);
  // The first start of node-opcua on a machine also makes its certificate.
  return process_->wait_for_output("ready opc.tcp://", std::chrono::seconds(90));
}

void OpcuaTestServer::pause() {
  if (process_) ::kill(process_->pid(), SIGSTOP);
}

void OpcuaTestServer::resume() {
  if (process_) ::kill(process_->pid(), SIGCONT);
}

std::string OpcuaTestServer::log() const {
  return process_ ? process_->out() + process_->err() : "";
}

}  // namespace weft_test
