#pragma once

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace weft_test {

// A plain libmosquitto client for tests: publishes, and records every message
// it receives (topic, payload) on libmosquitto's own thread.
class MqttTestClient {
 public:
  // A client id with `persistent` keeps the broker session (subscriptions and
  // messages queued for it) across reconnects; libmosquitto reconnects on its own.
  explicit MqttTestClient(int port, const std::string& client_id = "", bool persistent = false);
  ~MqttTestClient();
  MqttTestClient(const MqttTestClient&) = delete;
  MqttTestClient& operator=(const MqttTestClient&) = delete;

  // Subscribes and waits for the broker's acknowledgement.
  bool subscribe(const std::string& filter, int qos = 0);
  bool publish(const std::string& topic, const std::string& payload, int qos = 0);

  // Waits until at least `count` messages arrived; false on timeout.
  bool wait_for(size_t count, std::chrono::milliseconds timeout);
  std::vector<std::pair<std::string, std::string>> messages();

 private:
  static void on_message(mosquitto*, void* self, const mosquitto_message* msg);
  static void on_subscribe(mosquitto*, void* self, int, int, const int*);

  mosquitto* mosq_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, std::string>> messages_;  // guarded by lock_
  int acknowledged_ = 0;                                       // guarded by lock_
};

}  // namespace weft_test
