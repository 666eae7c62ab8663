#include "mqtt_callback_table.h"

#include <map>
#include <mutex>

#include "mqtt_callback_handler.h"

namespace {

std::mutex& table_lock() {
  static std::mutex lock;
  return lock;
}

std::map<mosquitto*, MQTTCallbackHandler*>& callbacks() {
  static std::map<mosquitto*, MQTTCallbackHandler*> table;
  return table;
}

}  // namespace

void add_callback_handler(mosquitto* mosq, MQTTCallbackHandler* handler) {
  std::lock_guard<std::mutex> guard(table_lock());
  callbacks()[mosq] = handler;
}

MQTTCallbackHandler* remove_callback(mosquitto* mosq) {
  std::lock_guard<std::mutex> guard(table_lock());
  auto it = callbacks().find(mosq);
  if (it == callbacks().end()) return nullptr;
  MQTTCallbackHandler* handler = it->second;
  callbacks().erase(it);
  return handler;
}

void message_callback(mosquitto* mosq, void* obj, const mosquitto_message* msg) {
  MQTTCallbackHandler* handler = nullptr;
  {
    std::lock_guard<std::mutex> guard(table_lock());
    auto it = callbacks().find(mosq);
    if (it == callbacks().end()) return;
    handler = it->second;
  }
  // The handler lives at least as long as the network thread running this
  // callback: it is removed from the table and joined before it is destroyed.
  try {
    handler->msg_rcvd(obj, msg->topic, msg);
  } catch (...) {
    // Nothing may unwind into libmosquitto; the message is lost either way.
  }
}

void publish_callback(mosquitto* /*mosq*/, void* obj, int /*mid*/) {
  if (obj != nullptr) static_cast<MQTTCallbackHandler*>(obj)->acknowledged();
}
