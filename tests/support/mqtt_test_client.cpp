#include "support/mqtt_test_client.h"

#include <stdexcept>

namespace weft_test {

MqttTestClient::MqttTestClient(int port, const std::string& client_id, bool persistent) {
  mosquitto_lib_init();
  const bool clean = client_id.empty() || !persistent;
  mosq_ = mosquitto_new(client_id.empty() ? nullptr : client_id.c_str(), clean, this);
  if (mosq_ == nullptr) throw std::runtime_error("mosquitto_new failed");
  mosquitto_message_callback_set(mosq_, &MqttTestClient::on_message);
  mosquitto_subscribe_callback_set(mosq_, &MqttTestClient::on_subscribe);
  if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
    mosquitto_destroy(mosq_);
    throw std::runtime_error("test client cannot connect to port " + std::to_string(port));
  }
}

MqttTestClient::~MqttTestClient() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, true);
  mosquitto_destroy(mosq_);
  mosquitto_lib_cleanup();
}

bool MqttTestClient::subscribe(const std::string& filter, int qos) {
  int before;
  {
    std::lock_guard<std::mutex> guard(lock_);
    before = acknowledged_;
  }
  if (mosquitto_subscribe(mosq_, nullptr, filter.c_str(), qos) != MOSQ_ERR_SUCCESS) return false;
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return acknowledged_ > before; });
}

bool MqttTestClient::publish(const std::string& topic, const std::string& payload, int qos) {
  return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                           payload.data(), qos, false) == MOSQ_ERR_SUCCESS;
}

bool MqttTestClient::wait_for(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, timeout, [&] { return messages_.size() >= count; });
}

std::vector<std::pair<std::string, std::string>> MqttTestClient::messages() {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

void MqttTestClient::on_message(mosquitto*, void* self, const mosquitto_message* msg) {
  auto* client = static_cast<MqttTestClient*>(self);
  std::string payload(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen));
  {
    std::lock_guard<std::mutex> guard(client->lock_);
    client->messages_.emplace_back(msg->topic, std::move(payload));
  }
  client->changed_.notify_all();
}

void MqttTestClient::on_subscribe(mosquitto*, void* self, int, int, const int*) {
  auto* client = static_cast<MqttTestClient*>(self);
  {
    std::lock_guard<std::mutex> guard(client->lock_);
    ++client->acknowledged_;
  }
  client->changed_.notify_all();
}

}  // namespace weft_test
