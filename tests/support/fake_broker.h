#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/unique_fd.h"

namespace weft_test {

// A tiny MQTT 3.1.1 server on a free loopback port, for the faults a real
// broker cannot be made to show: a refused CONNACK, a connection closed right
// after it was accepted, publishes that are never acknowledged. It answers
// CONNECT, SUBSCRIBE, PINGREQ and (unless told not to) PUBLISH at QoS 1 and 2,
// and records what it received. One thread serves every client.
class FakeBroker {
 public:
  struct Behaviour {
    // CONNACK return code: 0 accepts, 3 server unavailable, 5 not authorized.
    int connack_code = 0;
    // Close every connection as soon as it is accepted, before any CONNACK.
    bool close_on_accept = false;
    // Answer PUBLISH at QoS 1 with PUBACK and at QoS 2 with PUBREC/PUBCOMP.
    bool acknowledge = true;
  };

  explicit FakeBroker(Behaviour behaviour);
  FakeBroker() : FakeBroker(Behaviour{}) {}
  ~FakeBroker();
  FakeBroker(const FakeBroker&) = delete;
  FakeBroker& operator=(const FakeBroker&) = delete;

  int port() const { return port_; }
  std::string url() const { return "mqtt-tcp://127.0.0.1:" + std::to_string(port_); }

  // Changes how connections made from now on (and packets read from now on) are answered.
  void set_behaviour(Behaviour behaviour);
  // TCP connections accepted so far.
  int connections() const { return connections_.load(); }
  // Payloads of every PUBLISH received, in order of arrival.
  std::vector<std::string> payloads() const;
  // Closes every open client connection (the listener stays).
  void drop_clients();

 private:
  struct Client {
    qor::UniqueFd socket;
    std::string input;
  };

  void serve();
  // Handles the complete packets at the front of `client.input`; false when
  // the connection is to be closed.
  bool handle_packets(Client& client);
  bool handle(Client& client, unsigned char type, unsigned char flags, const std::string& body);
  Behaviour behaviour() const;

  qor::UniqueFd listener_;
  qor::UniqueFd wake_read_;
  qor::UniqueFd wake_write_;
  int port_ = 0;
  std::atomic<bool> running_{true};
  std::atomic<bool> drop_requested_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex lock_;
  Behaviour behaviour_;                // guarded by lock_
  std::vector<std::string> payloads_;  // guarded by lock_
  std::thread thread_;
};

// A loopback port on which a TCP connect hangs, as on a host that drops SYNs:
// a listener whose accept queue is full and never accepted from.
class SynDropListener {
 public:
  SynDropListener();
  int port() const { return port_; }
  std::string url() const { return "mqtt-tcp://127.0.0.1:" + std::to_string(port_); }

 private:
  qor::UniqueFd listener_;
  std::vector<qor::UniqueFd> fillers_;
  int port_ = 0;
};

}  // namespace weft_test
