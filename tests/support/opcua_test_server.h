#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace weft_test {

// The OPC UA test server of tests/opcua_server (node-opcua, anonymous access,
// security None) on a free loopback port, stopped by its pid. Its nodes are
// listed in tests/opcua_server/server.js; `args` are passed on to it (for
// example {"--late", "3000"} or {"--bench", "1000"}).
class OpcuaTestServer {
 public:
  explicit OpcuaTestServer(std::vector<std::string> args = {});
  ~OpcuaTestServer();
  OpcuaTestServer(const OpcuaTestServer&) = delete;
  OpcuaTestServer& operator=(const OpcuaTestServer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "opc.tcp://127.0.0.1:" + std::to_string(port_); }

  // Kills the server (SIGKILL): it forgets every session and subscription.
  void stop();
  // Starts it again on the same port, with args when given; false when it
  // does not report ready in time.
  bool start(const std::vector<std::string>& args);
  bool start() { return start(args_); }
  // Freezes and thaws the process (SIGSTOP / SIGCONT): the socket stays open
  // but nothing is answered.
  void pause();
  void resume();
  std::string log() const;
  pid_t pid() const { return process_ ? process_->pid() : -1; }

 private:
  int port_;
  std::vector<std::string> args_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace weft_test
