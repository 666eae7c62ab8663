#include "mqtt_transport.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>

#include <nlohmann/json.hpp>

#include "mqtt_callback_table.h"
#include "zeb/log.h"
#include "zeb/status.h"
#include "zeb/url.h"

namespace {

constexpr int kDefaultPort = 1883;
constexpr int kKeepAliveSeconds = 5;
constexpr int kMethods = zeb::kMethodSub | zeb::kMethodPub;

// The plane's QoS from its options: 0, 1 or 2; anything else falls back to 0.
int read_qos(const nlohmann::json& options, void* log) {
  const nlohmann::json& value = options["qos"];
  if (!value.is_number()) {
    zeb::log_warn(log, "MQTT: Invalid qos value, must be int, using default");
    return 0;
  }
  const double number = value.get<double>();
  // Out-of-range values become -1 rather than an undefined conversion.
  const int qos = number > INT_MIN && number < INT_MAX ? static_cast<int>(number) : -1;
  if (static_cast<unsigned>(qos) > 2u) {
    zeb::log_warn(log, "MQTT: Invalid QOS value: %d, setting QOS to 0 by default", qos);
    return 0;
  }
  zeb::log_debug(log, "MQTT: Set QOS to: %d", qos);
  return qos;
}

}  // namespace

const char* MQTTTransport::schemes[2] = {"mqtt-tcp", nullptr};

MQTTTransport::MQTTTransport(int id, void* log) : zeb::BaseTransport(id), log_(log) {}

MQTTTransport::~MQTTTransport() {
  std::lock_guard<std::mutex> guard(connections_lock_);
  for (auto& [plane, handles] : connections_) {
    handles.handler->stop();
    remove_callback(handles.mosq.get());
  }
  connections_.clear();  // handlers first, then their handles
}

const char* MQTTTransport::get_transport_name() {
  return "MQTT";
}

const char** MQTTTransport::get_schemes() {
  return schemes;
}

int MQTTTransport::get_supported_methods() {
  return kMethods;
}

bool MQTTTransport::find_conn(const std::string& plane_id, mosquitto** mosq_out, int* qos_out,
                              MQTTCallbackHandler** handler_out) {
  std::lock_guard<std::mutex> guard(connections_lock_);
  auto it = connections_.find(plane_id);
  if (it == connections_.end()) return false;
  *mosq_out = it->second.mosq.get();
  *qos_out = it->second.qos;
  if (handler_out) *handler_out = it->second.handler.get();
  return true;
}

bool MQTTTransport::create_mqtt_conn(void* entry, mosquitto** mosq_out, int* qos_inout,
                                     MQTTCallbackHandler** handler_out,
                                     const FirstSubscription* first, bool* created) {
  if (created) *created = false;
  const std::string plane_id = zeb_get_plane_id(entry);
  zeb::log_debug(log_, "MQTT: Looking for conn: %s", plane_id.c_str());
  // An open connection already carries what its options said; they are only
  // read to open one.
  if (find_conn(plane_id, mosq_out, qos_inout, handler_out)) return true;

  // One opener at a time, so a plane is never connected twice.
  std::lock_guard<std::mutex> opening(open_lock_);
  if (find_conn(plane_id, mosq_out, qos_inout, handler_out)) return true;
  *mosq_out = nullptr;
  const nlohmann::json options = nlohmann::json::parse(zeb_get_options(entry));

  std::string client_id;
  if (options.is_object() && options.contains("qos")) *qos_inout = read_qos(options, log_);
  if (options.is_object() && options.contains("clientid")) {
    client_id = options["clientid"].get<std::string>();
    if (client_id.empty()) {
      zeb::log_warn(log_, "MQTT: No Client ID supplied, using default");
    } else {
      zeb::log_debug(log_, "MQTT: Set Client ID to: %s", client_id.c_str());
    }
  }
  zeb::log_debug(log_, "MQTT: No conn found, creating");

  // A persistent broker session only makes sense with a fixed identity.
  const bool clean_session = !(*qos_inout > 0 && !client_id.empty());
  MosquittoPtr mosq(
      mosquitto_new(client_id.empty() ? nullptr : client_id.c_str(), clean_session, nullptr));
  if (!mosq) {
    zeb::log_debug(log_, "MQTT: Error creating mosq conn: errno: %s", std::strerror(errno));
    return false;
  }

  // Nagle's algorithm holds a small publish back until the broker acknowledges
  // the previous segment, which at QoS 0 means its delayed-ACK timer: tens of
  // milliseconds per message. Off by default; "tcp_nodelay": false restores it.
  const bool no_delay =
      !(options.is_object() && options.contains("tcp_nodelay") &&
        options["tcp_nodelay"].is_boolean() && !options["tcp_nodelay"].get<bool>());
  mosquitto_int_option(mosq.get(), MOSQ_OPT_TCP_NODELAY, no_delay ? 1 : 0);
  // A connection opened to subscribe queues every packet for its network
  // thread; one opened to publish lets publishers write themselves until it
  // gets a subscription (see MQTTCallbackHandler::serve).
  const bool direct = first == nullptr;
  if (!direct) mosquitto_threaded_set(mosq.get(), true);

  const zeb::Url url(zeb_get_transport_addr(entry));
  const std::string host = url.host();
  const int port = url.port().empty() ? kDefaultPort : std::atoi(url.port().c_str());
  mosquitto_message_callback_set(mosq.get(), message_callback);
  zeb::log_debug(log_, "MQTT: Connecting to %s:%d", host.c_str(), port);
  const int connected = mosquitto_connect(mosq.get(), host.c_str(), port, kKeepAliveSeconds);
  if (connected != MOSQ_ERR_SUCCESS) {
    const int error = errno;
    zeb::log_debug(log_, "MQTT: Couldn't connect mosq_err:%d errno: %s (%d)", connected,
                   std::strerror(error), error);
    return false;
  }

  mosquitto* handle = mosq.get();
  auto handler = std::make_unique<MQTTCallbackHandler>(this, handle, &log_, direct);
  MQTTCallbackHandler* handler_ptr = handler.get();
  zeb::log_debug(log_, "MQTT: add_callback_handler: %p", static_cast<void*>(handle));
  add_callback_handler(handle, handler_ptr);
  if (*qos_inout > 0) {
    // Completions of acknowledged publishes go straight to their handler.
    mosquitto_user_data_set(handle, handler_ptr);
    mosquitto_publish_callback_set(handle, publish_callback);
  }
  zeb::log_debug(log_, "MQTT: Adding callback: %p", static_cast<void*>(handle));
  if (first) handler_ptr->add_subscription(first->topic, first->callback, first->user);
  {
    std::lock_guard<std::mutex> guard(connections_lock_);
    connections_[plane_id] = MQTTHandles{*qos_inout, std::move(mosq), std::move(handler)};
  }

  const int started = handler_ptr->loop_start(*qos_inout);
  if (started != MOSQ_ERR_SUCCESS) {
    zeb::log_debug(log_, "MQTT: Can't start net loop: Code: %d", started);
    remove_callback(handle);
    std::lock_guard<std::mutex> guard(connections_lock_);
    connections_.erase(plane_id);
    return false;
  }
  *mosq_out = handle;
  if (handler_out) *handler_out = handler_ptr;
  if (created) *created = true;
  zeb::log_debug(log_, "MQTT: Created connection %s", zeb_get_transport_addr(entry));
  return true;
}

int MQTTTransport::pub(const char* ref, void* entry, char* data, size_t len) {
  if (len > static_cast<size_t>(INT_MAX)) return zeb::kPayloadTooLarge;
  mosquitto* mosq = nullptr;
  int qos = 0;
  MQTTCallbackHandler* handler = nullptr;
  try {
    if (!create_mqtt_conn(entry, &mosq, &qos, &handler)) return zeb::kConnectionFailed;
  } catch (const std::exception& e) {
    // Bad plane options are the caller's error, not a reason to end its thread.
    zeb::log_error(log_, "MQTT: Invalid plane options: %s", e.what());
    return zeb::kInvalidOption;
  }
  zeb::log_debug(log_, "MQTT: Publishing with QOS: %d", qos);
  const int result = handler->publish(ref, static_cast<int>(len), data, qos);
  return result == MOSQ_ERR_SUCCESS ? zeb::kSuccess : zeb::kUnableToDeliver;
}

int MQTTTransport::sub(const char* ref, void* entry, zeb::MessageCallback callback, void* user) {
  zeb::log_debug(log_, "MQTT: Got a SUB for %s", ref);
  mosquitto* mosq = nullptr;
  int qos = 0;
  MQTTCallbackHandler* handler = nullptr;
  const FirstSubscription first{ref, callback, user};
  bool created = false;
  try {
    if (!create_mqtt_conn(entry, &mosq, &qos, &handler, &first, &created)) {
      return zeb::kConnectionFailed;
    }
  } catch (const std::exception& e) {
    zeb::log_error(log_, "MQTT: Invalid plane options: %s", e.what());
    return zeb::kInvalidOption;
  }
  zeb::log_debug(log_, "MQTT: Looking for callback for client %p", static_cast<void*>(mosq));
  if (!created) {
    if (handler->has_subscription(ref)) return zeb::kDuplicateSubscription;
    handler->queue_mode();
    // Recorded before the broker is asked, so a message arriving right after the
    // subscription is never without its subscriber; taken back on refusal.
    handler->add_subscription(ref, callback, user);
  }
  zeb::log_debug(log_, "MQTT: Subscribing to %s with qos: %d", ref, qos);
  if (mosquitto_subscribe(mosq, nullptr, ref, qos) != MOSQ_ERR_SUCCESS) {
    handler->remove_subscription(ref);
    return zeb::kCantSubscribe;
  }
  handler->wake();
  zeb::log_debug(log_, "MQTT: Sub userdata %p", user);
  return zeb::kSuccess;
}

zeb::ConnectionMetadata MQTTTransport::connection_metadata(const char*, void*) {
  zeb::ConnectionMetadata metadata;
  metadata.healthy(true);
  return metadata;
}

int MQTTTransport::free_msg(zeb::_Msg* msg) {
  if (msg != nullptr) {
    std::free(msg->data);
    delete msg;
  }
  return 1;
}
