#include "opcua_transport.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>

#include "variant_codec.h"
#include "zeb/log.h"
#include "zeb/opcua_value_record.h"
#include "zeb/status.h"

namespace {

constexpr const char* kJsonPrefix = "/json?";
constexpr int kMethods = zeb::kMethodSub | zeb::kMethodSet | zeb::kMethodGet;

// The node reference without the "/json?" the mapping rules put before it.
std::string node_reference(const char* ref) {
  const size_t prefix = std::strlen(kJsonPrefix);
  if (std::strncmp(ref, kJsonPrefix, prefix) == 0) return ref + prefix;
  return ref;
}

// Connections of the whole process by plane id and options; a transport
// instance holds those it uses, so the last one gone closes the session.
struct SharedConnections {
  std::mutex lock;
  std::map<std::string, std::weak_ptr<OpcuaConnection>> by_key;  // guarded by lock
};

SharedConnections& shared_connections() {
  static SharedConnections shared;
  return shared;
}

// One connection per plane id and options.
std::string connection_key(void* entry) {
  const char* const options_text = zeb_get_options(entry);
  return std::string(zeb_get_plane_id(entry)) + '\n' +
         (options_text != nullptr ? options_text : "");
}

}  // namespace

const char* OpcuaTransport::schemes[2] = {"opc.tcp", nullptr};

OpcuaTransport::OpcuaTransport(int id, void* log) : zeb::BaseTransport(id), log_(log) {}

OpcuaTransport::~OpcuaTransport() {
  std::lock_guard<std::mutex> guard(connections_lock_);
  // Other instances may keep a connection: our subscribers must not hear from
  // it once we are gone.
  for (auto& [key, connection] : connections_) connection->forget(this);
  connections_.clear();
}

const char* OpcuaTransport::get_transport_name() {
  return "OPCUA";
}

const char** OpcuaTransport::get_schemes() {
  return schemes;
}

int OpcuaTransport::get_supported_methods() {
  return kMethods;
}

int OpcuaTransport::connection(void* entry, OpcuaConnection** out) {
  *out = nullptr;
  const std::string plane_id = zeb_get_plane_id(entry);
  const char* const options_text = zeb_get_options(entry);
  const std::string key = connection_key(entry);
  OpcuaConnection* found = nullptr;
  bool created = false;
  {
    std::lock_guard<std::mutex> guard(connections_lock_);
    auto it = connections_.find(key);
    if (it == connections_.end()) {
      PlaneOptions options;
      std::string error;
      if (!PlaneOptions::parse(options_text != nullptr ? options_text : "", &options, &error)) {
        zeb::log_error(log_, "OPC UA: plane %s: %s", plane_id.c_str(), error.c_str());
        return zeb::kInvalidOption;
      }
      SharedConnections& shared = shared_connections();
      std::lock_guard<std::mutex> shared_guard(shared.lock);
      std::shared_ptr<OpcuaConnection> connection = shared.by_key[key].lock();
      if (!connection) {
        connection = std::make_shared<OpcuaConnection>(plane_id, std::move(options), log_);
        shared.by_key[key] = connection;
      }
      for (auto at = shared.by_key.begin(); at != shared.by_key.end();) {
        at = at->second.expired() ? shared.by_key.erase(at) : std::next(at);
      }
      it = connections_.emplace(key, std::move(connection)).first;
      // A connection another instance opened may still be on its first try.
      created = true;
    }
    found = it->second.get();
  }
  if (created) found->wait_first_attempt();
  *out = found;
  return zeb::kSuccess;
}

int OpcuaTransport::get(const char* ref, void* entry, zeb::_Msg** out) {
  if (out == nullptr) return zeb::kInvalidOption;
  *out = nullptr;
  try {
    NodeId node;
    if (!NodeId::parse(node_reference(ref), &node)) return zeb::kBadRequest;
    OpcuaConnection* connection = nullptr;
    const int opened = this->connection(entry, &connection);
    if (opened != zeb::kSuccess) return opened;
    std::string text;
    const int status = connection->read(node, &text);
    if (status != zeb::kSuccess) return status;
    auto* data = static_cast<char*>(std::malloc(text.size() + 1));
    if (data == nullptr) return zeb::kMemoryAllocationError;
    std::memcpy(data, text.c_str(), text.size() + 1);
    *out = new (std::nothrow) zeb::_Msg{this, 0, data, text.size()};
    if (*out == nullptr) {
      std::free(data);
      return zeb::kMemoryAllocationError;
    }
    return zeb::kSuccess;
  } catch (const std::exception& e) {
    zeb::log_error(log_, "OPC UA: get %s failed: %s", ref, e.what());
    return zeb::kInternalError;
  }
}

int OpcuaTransport::set(const char* ref, void* entry, char* data, size_t len) {
  if (data == nullptr || len != sizeof(opcua_value::ValueRecord)) return zeb::kBadRequest;
  try {
    NodeId node;
    if (!NodeId::parse(node_reference(ref), &node)) return zeb::kBadRequest;
    ByteWriter variant;
    std::string error;
    if (!VariantCodec::encode_record(variant, data, &error)) {
      zeb::log_error(log_, "OPC UA: set %s: %s", ref, error.c_str());
      return zeb::kBadRequest;
    }
    OpcuaConnection* connection = nullptr;
    const int opened = this->connection(entry, &connection);
    if (opened != zeb::kSuccess) return opened;
    return connection->write(node, variant.bytes());
  } catch (const std::exception& e) {
    zeb::log_error(log_, "OPC UA: set %s failed: %s", ref, e.what());
    return zeb::kInternalError;
  }
}

int OpcuaTransport::sub(const char* ref, void* entry, zeb::MessageCallback callback, void* user) {
  if (callback == nullptr) return zeb::kCantSubscribe;
  try {
    const std::string topic = node_reference(ref);
    NodeId node;
    if (!NodeId::parse(topic, &node)) return zeb::kBadRequest;
    OpcuaConnection* connection = nullptr;
    const int opened = this->connection(entry, &connection);
    if (opened != zeb::kSuccess) return opened;
    return connection->subscribe(this, topic, node, callback, user);
  } catch (const std::exception& e) {
    zeb::log_error(log_, "OPC UA: sub %s failed: %s", ref, e.what());
    return zeb::kInternalError;
  }
}

zeb::ConnectionMetadata OpcuaTransport::connection_metadata(const char* ref, void* entry) {
  zeb::ConnectionMetadata metadata;
  metadata.healthy(false);
  try {
    OpcuaConnection* connection = nullptr;
    if (this->connection(entry, &connection) == zeb::kSuccess) {
      // A subscribed node whose item the server has not (yet) created counts
      // as unhealthy, as the subscription it stands for is not in place.
      metadata.healthy(ref != nullptr ? connection->subscribed(node_reference(ref))
                                      : connection->healthy());
    }
  } catch (const std::exception& e) {
    zeb::log_error(log_, "OPC UA: connection_metadata failed: %s", e.what());
  }
  return metadata;
}

int OpcuaTransport::plane_stats(const char*, void* entry, zeb::PlaneStats* out) {
  if (out == nullptr) return zeb::kInvalidOption;
  const std::string key = connection_key(entry);
  std::shared_ptr<OpcuaConnection> connection;
  {
    SharedConnections& shared = shared_connections();
    std::lock_guard<std::mutex> guard(shared.lock);
    const auto it = shared.by_key.find(key);
    if (it != shared.by_key.end()) connection = it->second.lock();
  }
  if (!connection) return zeb::kNotImplemented;
  try {
    connection->stats(out);
  } catch (const std::exception& e) {
    zeb::log_error(log_, "OPC UA: plane_stats failed: %s", e.what());
    return zeb::kInternalError;
  }
  return zeb::kSuccess;
}

int OpcuaTransport::free_msg(zeb::_Msg* msg) {
  if (msg != nullptr) {
    std::free(msg->data);
    delete msg;
  }
  return 1;
}
