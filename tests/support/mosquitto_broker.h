#pragma once

#include <memory>
#include <string>

#include "support/child_process.h"

namespace weft_test {

// A real Mosquitto broker on a free loopback port, started from a generated
// configuration and stopped by its pid. It never drops messages for slow
// subscribers, so any loss a test sees is ours.
class MosquittoBroker {
 public:
  MosquittoBroker();
  ~MosquittoBroker();

  int port() const { return port_; }
  std::string url() const { return "mqtt-tcp://127.0.0.1:" + std::to_string(port_); }

  // Kills the broker; persistent sessions survive in its persistence file.
  void stop();
  // Starts it again on the same port; false when it does not come up.
  bool start();
  // Freezes the running broker (SIGSTOP): connections stay open, nothing is
  // read or acknowledged until `resume` (SIGCONT).
  void pause();
  void resume();
  std::string log() const;

 private:
  void write_config();

  int port_;
  std::string dir_;
  std::unique_ptr<ChildProcess> process_;
};

// A loopback port nobody listens on at the moment of the call.
int free_port();

}  // namespace weft_test
