#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"

namespace weft_test {

// What a broker with TLS listeners asks of its clients. The listener at
// `tls_port` takes a user name and password from `users`; the one at
// `mtls_port` takes a client certificate signed by `ca_file`, whose common
// name becomes the user name. Both apply the access rules of `acl` (the text
// of a Mosquitto ACL file); the plain listener at `port` stays open to all.
struct BrokerSecurity {
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  std::vector<std::pair<std::string, std::string>> users;
  std::string acl;
};

// A real Mosquitto broker on a free loopback port, started from a generated
// configuration and stopped by its pid. It never drops messages for slow
// subscribers, so any loss a test sees is ours.
class MosquittoBroker {
 public:
  MosquittoBroker();
  // Also listens with TLS on "localhost" (see BrokerSecurity).
  explicit MosquittoBroker(const BrokerSecurity& security);
  ~MosquittoBroker();

  int port() const { return port_; }
  int tls_port() const { return tls_port_; }
  int mtls_port() const { return mtls_port_; }
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
  void launch();

  int port_;
  int tls_port_ = 0;
  int mtls_port_ = 0;
  bool secure_ = false;
  BrokerSecurity security_;
  std::string dir_;
  std::unique_ptr<ChildProcess> process_;
};

// A loopback port nobody listens on at the moment of the call.
int free_port();

}  // namespace weft_test
