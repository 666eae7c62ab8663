#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "opcua_connection.h"
#include "zeb/base_transport.h"

// get, set and subscribe on OPC UA servers for planes with the scheme
// "opc.tcp". One connection (channel, session, subscriptions) per plane id and
// options in the whole process, opened at the plane's first call and kept,
// with its own thread, while a transport instance uses it: a block's client
// and its connection mapping each have a transport instance, and the health
// the mapping reports is that of the connection carrying the client's data.
//
// References: `get` and `sub` take "/json?" followed by a NodeId in text form,
// `set` the NodeId text alone (a "/json?" prefix is accepted everywhere).
//
// Thread rules: every operation runs on a caller's thread. `connections_lock_`
// guards `connections_` and is held only to find or add a connection, never
// while waiting for a server; the process-wide table has a lock of its own,
// taken inside it.
class OpcuaTransport : public zeb::BaseTransport {
 public:
  OpcuaTransport(int id, void* log);
  ~OpcuaTransport() override;

  const char* get_transport_name() override;
  const char** get_schemes() override;
  int get_supported_methods() override;
  int get(const char* ref, void* entry, zeb::_Msg** out) override;
  int set(const char* ref, void* entry, char* data, size_t len) override;
  int sub(const char* ref, void* entry, zeb::MessageCallback callback, void* user) override;
  // Healthy only while the plane's session is active; opens the connection at
  // the first call like the other operations.
  zeb::ConnectionMetadata connection_metadata(const char* ref, void* entry) override;
  // The figures of the plane's connection when one is open in the process
  // (never opens one); 501 otherwise.
  int plane_stats(const char* ref, void* entry, zeb::PlaneStats* out) override;
  int free_msg(zeb::_Msg* msg) override;

  static const char* schemes[2];

 private:
  // The plane's connection, opened when new; a status other than 200 when the
  // options are unusable.
  int connection(void* entry, OpcuaConnection** out);

  void* log_;
  std::mutex connections_lock_;
  std::map<std::string, std::shared_ptr<OpcuaConnection>> connections_;  // guarded
};
