#include "mqtt_callback_handler.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "mqtt_transport.h"
#include "zeb/log.h"

namespace {

constexpr int kFirstBackoffSeconds = 1;
// The delay doubles while it is at most this many seconds: 1, 2, ... 2048.
constexpr int kLastDoublingSeconds = 1199;

// "$share/GROUP/FILTER" delivers topics that match FILTER.
const char* strip_share_prefix(const std::string& filter) {
  static const char kShare[] = "$share/";
  if (filter.compare(0, sizeof kShare - 1, kShare) != 0) return filter.c_str();
  const size_t group_end = filter.find('/', sizeof kShare - 1);
  return group_end == std::string::npos ? filter.c_str() : filter.c_str() + group_end + 1;
}

}  // namespace

MQTTCallbackHandler::MQTTCallbackHandler(MQTTTransport* transport, mosquitto* mosq, void** log_ref)
    : transport_(transport), mosq_(mosq), log_ref_(log_ref) {}

MQTTCallbackHandler::~MQTTCallbackHandler() {
  stop();
}

void MQTTCallbackHandler::add_subscription(const char* topic, zeb::MessageCallback callback,
                                           void* user) {
  std::lock_guard<std::mutex> guard(lock_);
  subscriptions_[topic] = Subscriber(callback, user);
}

void MQTTCallbackHandler::remove_subscription(const char* topic) {
  std::lock_guard<std::mutex> guard(lock_);
  subscriptions_.erase(topic);
}

bool MQTTCallbackHandler::has_subscription(const char* topic) {
  std::lock_guard<std::mutex> guard(lock_);
  return subscriptions_.count(topic) != 0;
}

int MQTTCallbackHandler::loop_start(int qos) {
  if (mosq_ == nullptr || loop_started_) return MOSQ_ERR_INVAL;
  loop_started_ = true;
  try {
    net_thread_ = std::thread(&MQTTCallbackHandler::net_loop, this, qos);
  } catch (const std::system_error&) {
    loop_started_ = false;
    return MOSQ_ERR_ERRNO;
  }
  return MOSQ_ERR_SUCCESS;
}

void MQTTCallbackHandler::stop() {
  {
    std::lock_guard<std::mutex> guard(wake_lock_);
    running_ = false;
  }
  wake_.notify_all();
  // Closing the socket makes a pending mosquitto_loop return at once.
  if (mosq_ != nullptr) mosquitto_disconnect(mosq_);
  if (net_thread_.joinable()) net_thread_.join();
}

bool MQTTCallbackHandler::find_subscriber(const char* topic, Subscriber& out) {
  std::lock_guard<std::mutex> guard(lock_);
  auto exact = subscriptions_.find(topic);
  if (exact != subscriptions_.end()) {
    out = exact->second;
    return true;
  }
  // The broker also delivers for wildcard and shared subscriptions; such a
  // topic never equals the filter it was subscribed under.
  for (const auto& [filter, subscriber] : subscriptions_) {
    bool matches = false;
    if (mosquitto_topic_matches_sub(strip_share_prefix(filter), topic, &matches) ==
            MOSQ_ERR_SUCCESS &&
        matches) {
      out = subscriber;
      return true;
    }
  }
  return false;
}

void MQTTCallbackHandler::msg_rcvd(void* /*obj*/, const char* topic, const mosquitto_message* msg) {
  void* log = *log_ref_;
  const int length = msg->payloadlen > 0 ? msg->payloadlen : 0;
  zeb::log_debug(log, "MQTT: Message received from topic \"%s\":\n%.*s", topic, length,
                 static_cast<const char*>(msg->payload));
  Subscriber subscriber;
  if (!find_subscriber(topic, subscriber)) {
    zeb::log_error(log, "MQTT: No callback found for topic \"%s\"", topic);
    return;
  }
  if (subscriber.first == nullptr) return;

  char* data = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
  if (data == nullptr) {
    zeb::log_error(log, "MQTT: Out of memory for a message of %d bytes on \"%s\"", length, topic);
    return;
  }
  if (length > 0) std::memcpy(data, msg->payload, static_cast<size_t>(length));
  data[length] = '\0';
  auto* message = new (std::nothrow) zeb::_Msg{transport_, 0, data, static_cast<size_t>(length)};
  if (message == nullptr) {
    std::free(data);
    zeb::log_error(log, "MQTT: Out of memory for a message of %d bytes on \"%s\"", length, topic);
    return;
  }
  subscriber.first(nullptr, topic, message, subscriber.second);
}

void MQTTCallbackHandler::net_loop(int qos) {
  if (mosq_ == nullptr) return;
  void* log = *log_ref_;
  zeb::log_debug(log, "MQTT net_loop: Starting loop_forever");
  while (running_) {
    const int result = mosquitto_loop(mosq_, -1, 1);
    if (result == MOSQ_ERR_SUCCESS) continue;
    if (!running_) break;
    zeb::log_error(
        log, "MQTT: Disconnected from broker with return code %d. Attempting to reconnect", result);
    reconnect(qos);
  }
  zeb::log_debug(log, "MQTT net_loop: Exiting loop_forever");
}

void MQTTCallbackHandler::reconnect(int qos) {
  void* log = *log_ref_;
  int delay = kFirstBackoffSeconds;
  while (mosquitto_reconnect(mosq_) != MOSQ_ERR_SUCCESS) {
    if (!running_) return;
    zeb::log_error(log, "MQTT: Failed to reconnect. Backing off to retry");
    if (!backoff_sleep(delay)) return;
    if (delay <= kLastDoublingSeconds) delay *= 2;
    zeb::log_debug(log, "MQTT: Attempting to reconnect");
  }
  zeb::log_debug(log, "MQTT: Successfully reconnected to broker");

  std::vector<std::string> topics;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : subscriptions_) topics.push_back(entry.first);
  }
  for (const std::string& topic : topics) {
    zeb::log_debug(log, "MQTT: Resubscribing to topic \"%s\" with qos: %d", topic.c_str(), qos);
    if (mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos) == MOSQ_ERR_SUCCESS) {
      zeb::log_debug(log, "MQTT: Successfully resubscribed to topic \"%s\"", topic.c_str());
    } else {
      zeb::log_error(log, "MQTT: Could not resubscribe to topic \"%s\"", topic.c_str());
    }
  }
}

bool MQTTCallbackHandler::backoff_sleep(int seconds) {
  std::unique_lock<std::mutex> guard(wake_lock_);
  return !wake_.wait_for(guard, std::chrono::seconds(seconds), [this] { return !running_; });
}
