#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "framework/metric_families.h"
#include "zeb/client.h"
#include "zeb/connection_mapping.h"
#include "zeb/registry_file.h"

// The private plane of an OPC UA block: a registry with one plane named after
// the block, a client on it and, for the blocks that report connection health,
// a connection mapping. The library logs to a console log "<log_name>.zeb".
//
// Thread rules: built on the main thread; afterwards the client is used by the
// block's thread and the transport's delivery thread, the mapping by the
// health-check thread. Nothing here is written after construction.
class OpcuaPlane {
 public:
  // Reads "transport_addr" (required string) and "options" (members copied
  // over the plane options when it is an object). Throws std::invalid_argument
  // with the configuration getters' texts.
  OpcuaPlane(const std::string& plane_name, const std::string& log_name,
             const nlohmann::json& config);
  ~OpcuaPlane();
  OpcuaPlane(const OpcuaPlane&) = delete;
  OpcuaPlane& operator=(const OpcuaPlane&) = delete;

  void add_rule(int methods, const std::string& pattern, const std::string& rewrite);
  // Makes the client (and, when asked, the connection mapping) once every rule is in.
  void connect(bool with_mapping);

  zeb::IClient& client() { return *client_; }
  // Frees the client (the transport closes its session and channel), keeping
  // the mapping for the health check. `client()` must not be used afterwards.
  void close();
  const std::string& server() const { return server_; }
  const std::string& log_name() const { return client_log_name_; }
  // Healthy when the transport reports the connection behind `node_ref` healthy.
  bool node_healthy(const std::string& node_ref);
  // The connection figures of the plane behind `node_ref` (needs the mapping).
  void add_metrics(qor::MetricFamilies& metrics, const std::string& node_ref) const;

  // Gives back a message of an OPC UA transport, which allocates the payload
  // with malloc and the record with new.
  static void release(zeb::_Msg* msg);

 private:
  struct ClientDeleter {
    void operator()(zeb::IClient* client) const { zeb::freeClient(client); }
  };

  std::string plane_name_;
  std::string server_;
  std::string client_log_name_;
  std::unique_ptr<zeb::RegistryFile> registry_;
  std::unique_ptr<zeb::IClient, ClientDeleter> client_;
  std::unique_ptr<zeb::ConnectionMapping> mapping_;
};
