#include "mqtt_transport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "mqtt_plane_health.h"
#include "zeb/log.h"
#include "zeb/status.h"
#include "zeb/url.h"

namespace {

constexpr int kDefaultPort = 1883;
constexpr int kDefaultTlsPort = 8883;
constexpr char kTlsScheme[] = "mqtts";
// Options that only mean something over TLS.
constexpr const char* kTlsOptions[] = {"ca_file",      "ca_dir",      "cert_file",   "key_file",
                                       "key_password", "tls_version", "tls_insecure"};
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

// A positive whole number option no larger than `most`, else `fallback`.
double read_positive(const nlohmann::json& options, const char* key, double most, double fallback,
                     void* log) {
  if (!options.is_object() || !options.contains(key)) return fallback;
  const nlohmann::json& value = options[key];
  if (value.is_number() && value.get<double>() >= 1 && value.get<double>() <= most) {
    return value.get<double>();
  }
  zeb::log_warn(log, "MQTT: Invalid %s value, must be a number from 1 to %.0f, using %.0f", key,
                most, fallback);
  return fallback;
}

// A text option, empty when absent.
std::string read_text(const nlohmann::json& options, const char* key) {
  if (!options.is_object() || !options.contains(key)) return {};
  const nlohmann::json& value = options[key];
  if (!value.is_string()) throw std::invalid_argument(std::string(key) + " must be a text");
  return value.get<std::string>();
}

// A file (or a folder) the TLS setup reads, checked now: a path that is wrong
// is a fault of the configuration, not a reason to retry the broker forever.
std::string read_path(const nlohmann::json& options, const char* key, bool folder) {
  std::string path = read_text(options, key);
  if (path.empty()) return path;
  struct stat info {};
  const char* problem = nullptr;
  if (::stat(path.c_str(), &info) != 0 || ::access(path.c_str(), R_OK) != 0) {
    problem = std::strerror(errno);
  } else if (folder && !S_ISDIR(info.st_mode)) {
    problem = "not a folder";
  } else if (!folder && !S_ISREG(info.st_mode)) {
    problem = "not a file";
  }
  if (problem != nullptr) {
    throw std::invalid_argument(std::string(key) + " \"" + path + "\" cannot be used: " + problem);
  }
  return path;
}

void read_security(const nlohmann::json& options, bool tls, MQTTPlaneSettings& settings) {
  settings.username = read_text(options, "username");
  settings.password = read_text(options, "password");
  if (settings.username.empty() && !settings.password.empty()) {
    throw std::invalid_argument("password needs a username");
  }
  settings.tls = tls;
  if (!tls) {
    for (const char* key : kTlsOptions) {
      if (options.is_object() && options.contains(key)) {
        throw std::invalid_argument(std::string(key) + " needs an mqtts:// transport address");
      }
    }
    return;
  }
  settings.ca_file = read_path(options, "ca_file", false);
  settings.ca_dir = read_path(options, "ca_dir", true);
  settings.cert_file = read_path(options, "cert_file", false);
  settings.key_file = read_path(options, "key_file", false);
  settings.key_password = read_text(options, "key_password");
  if (settings.cert_file.empty() != settings.key_file.empty()) {
    throw std::invalid_argument("cert_file and key_file go together");
  }
  const std::string version = read_text(options, "tls_version");
  if (!version.empty()) {
    if (version != "tlsv1.2" && version != "tlsv1.3") {
      throw std::invalid_argument("tls_version must be \"tlsv1.2\" or \"tlsv1.3\", not \"" +
                                  version + "\"");
    }
    settings.tls_version = version;
  }
  if (options.is_object() && options.contains("tls_insecure")) {
    if (!options["tls_insecure"].is_boolean()) {
      throw std::invalid_argument("tls_insecure must be true or false");
    }
    settings.tls_insecure = options["tls_insecure"].get<bool>();
  }
}

MQTTPlaneSettings read_settings(void* entry, void* log) {
  MQTTPlaneSettings settings;
  settings.plane = zeb_get_plane_id(entry);
  const nlohmann::json options = nlohmann::json::parse(zeb_get_options(entry));
  if (options.is_object() && options.contains("qos")) settings.qos = read_qos(options, log);
  if (options.is_object() && options.contains("clientid")) {
    settings.client_id = options["clientid"].get<std::string>();
    if (settings.client_id.empty())
      zeb::log_warn(log, "MQTT: No Client ID supplied, using default");
  }
  // A persistent broker session only makes sense with a fixed identity.
  settings.clean_session = !(settings.qos > 0 && !settings.client_id.empty());
  // Nagle's algorithm holds a small publish back until the broker acknowledges
  // the previous segment, which at QoS 0 means its delayed-ACK timer: tens of
  // milliseconds per message. Off by default; "tcp_nodelay": false restores it.
  settings.no_delay = !(options.is_object() && options.contains("tcp_nodelay") &&
                        options["tcp_nodelay"].is_boolean() && !options["tcp_nodelay"].get<bool>());
  settings.connect_timeout_seconds = static_cast<int>(
      read_positive(options, "connect_timeout", 3600, settings.connect_timeout_seconds, log));
  settings.max_message_size = static_cast<size_t>(read_positive(
      options, "max_message_size", 256.0 * 1024 * 1024, settings.max_message_size, log));
  const zeb::Url url(zeb_get_transport_addr(entry));
  const bool tls = url.scheme() == kTlsScheme;
  read_security(options, tls, settings);
  settings.host = url.host();
  settings.port = !url.port().empty() ? std::atoi(url.port().c_str())
                  : tls               ? kDefaultTlsPort
                                      : kDefaultPort;
  return settings;
}

}  // namespace

const char* MQTTTransport::schemes[3] = {"mqtt-tcp", kTlsScheme, nullptr};

MQTTTransport::MQTTTransport(int id, void* log) : zeb::BaseTransport(id), log_(log) {}

MQTTTransport::~MQTTTransport() {
  std::map<std::string, MQTTHandles> connections;
  {
    std::lock_guard<std::mutex> guard(connections_lock_);
    connections.swap(connections_);
  }
  for (auto& entry : connections) mqtt_plane_pending_source(entry.first, nullptr);
  for (auto& [plane, handles] : connections) handles.handler->stop();
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

MQTTCallbackHandler* MQTTTransport::connection(void* entry, int* qos_out,
                                               const FirstSubscription* first, bool* created) {
  if (created != nullptr) *created = false;
  const std::string plane_id = zeb_get_plane_id(entry);
  const auto find = [&]() -> MQTTCallbackHandler* {
    std::lock_guard<std::mutex> guard(connections_lock_);
    const auto it = connections_.find(plane_id);
    if (it == connections_.end()) return nullptr;
    *qos_out = it->second.qos;
    return it->second.handler.get();
  };
  // A connection already carries what its options said; they are only read to make one.
  if (MQTTCallbackHandler* handler = find()) return handler;
  std::lock_guard<std::mutex> opening(open_lock_);
  if (MQTTCallbackHandler* handler = find()) return handler;
  MQTTPlaneSettings settings;
  try {
    settings = read_settings(entry, log_);
  } catch (const std::exception& e) {
    // Said once per plane and reason: a block that tries again every second
    // would otherwise fill the log with it.
    std::string& said = refused_[plane_id];
    if (said != e.what()) {
      said = e.what();
      zeb::log_error(log_, "MQTT: Invalid plane options of %s: %s", plane_id.c_str(), e.what());
    }
    return nullptr;
  }
  refused_.erase(plane_id);
  if (settings.tls_insecure) {
    zeb::log_warn(log_, "MQTT: tls_insecure is set for %s: the broker's host name is not checked",
                  plane_id.c_str());
  }
  auto handler = std::make_unique<MQTTCallbackHandler>(this, settings, &log_, first == nullptr);
  MQTTCallbackHandler* handler_ptr = handler.get();
  if (first != nullptr) {
    handler->add_subscription(first->topic, first->callback, first->user);
    if (created != nullptr) *created = true;
  }
  {
    std::lock_guard<std::mutex> guard(connections_lock_);
    connections_[plane_id] = MQTTHandles{settings.qos, std::move(handler)};
  }
  mqtt_plane_pending_source(plane_id, [handler_ptr] { return handler_ptr->unconfirmed(); });
  handler_ptr->start();
  *qos_out = settings.qos;
  zeb::log_debug(log_, "MQTT: Made connection %s for %s", zeb_get_transport_addr(entry),
                 plane_id.c_str());
  return handler_ptr;
}

int MQTTTransport::publish(const char* ref, void* entry, char* data, size_t len,
                           zeb::PublishCallback done, void* user, uint64_t tag) {
  if (len > static_cast<size_t>(INT_MAX)) return zeb::kPayloadTooLarge;
  int qos = 0;
  MQTTCallbackHandler* handler = nullptr;
  try {
    handler = connection(entry, &qos, nullptr, nullptr);
  } catch (const std::exception& e) {
    // Bad plane options are the caller's error, not a reason to end its thread.
    zeb::log_error(log_, "MQTT: Invalid plane options: %s", e.what());
    return zeb::kInvalidOption;
  }
  if (handler == nullptr) return zeb::kInvalidOption;
  // The first publish of a plane waits for the first attempt; later ones while
  // down are refused at once.
  handler->await_first_attempt();
  zeb::log_debug(log_, "MQTT: Publishing with QOS: %d", qos);
  return handler->publish(ref, static_cast<int>(len), data, done, user, tag);
}

int MQTTTransport::pub(const char* ref, void* entry, char* data, size_t len) {
  return publish(ref, entry, data, len, nullptr, nullptr, 0);
}

int MQTTTransport::pub_tracked(const char* ref, void* entry, char* data, size_t len,
                               zeb::PublishCallback done, void* user, uint64_t tag) {
  if (done == nullptr) return zeb::kInvalidOption;
  return publish(ref, entry, data, len, done, user, tag);
}

int MQTTTransport::sub(const char* ref, void* entry, zeb::MessageCallback callback, void* user) {
  zeb::log_debug(log_, "MQTT: Got a SUB for %s", ref);
  int qos = 0;
  MQTTCallbackHandler* handler = nullptr;
  const FirstSubscription first{ref, callback, user};
  bool created = false;
  try {
    handler = connection(entry, &qos, &first, &created);
  } catch (const std::exception& e) {
    zeb::log_error(log_, "MQTT: Invalid plane options: %s", e.what());
    return zeb::kInvalidOption;
  }
  if (handler == nullptr) return zeb::kInvalidOption;
  zeb::log_debug(log_, "MQTT: Subscribing to %s with qos: %d", ref, qos);
  if (created) return zeb::kSuccess;
  handler->queue_mode();
  return handler->add_subscription(ref, callback, user);
}

zeb::ConnectionMetadata MQTTTransport::connection_metadata(const char*, void* entry) {
  zeb::ConnectionMetadata metadata;
  metadata.healthy(mqtt_plane_healthy(zeb_get_plane_id(entry)));
  return metadata;
}

int MQTTTransport::plane_stats(const char*, void* entry, zeb::PlaneStats* out) {
  if (out == nullptr) return zeb::kInvalidOption;
  return mqtt_plane_stats(zeb_get_plane_id(entry), out) ? zeb::kSuccess : zeb::kNotImplemented;
}

int MQTTTransport::free_msg(zeb::_Msg* msg) {
  if (msg != nullptr) {
    std::free(msg->data);
    delete msg;
  }
  return 1;
}
