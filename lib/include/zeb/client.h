#pragma once

#include <cstddef>
#include <cstdint>

#include "zeb/export.h"

namespace zeb {

class Registry;
class Transport;

// A message made by a transport. It belongs to whoever received it until it is
// given back with freeMsg (or a client's free_msg), which hands it to the
// transport that made it. data holds len payload bytes followed by a NUL.
struct _Msg {
  Transport* transport;
  uint64_t reserved;
  char* data;
  size_t len;
};

// Subscription callback: (plane text, may be null; topic; message; user data).
// It runs on a thread of the transport and owns msg.
using MessageCallback = void (*)(const char* plane, const char* topic, _Msg* msg, void* user);

// Outcome of one tracked publish, called exactly once per publish that
// pub_tracked accepted (returned 200): 200 once the plane acknowledged it
// (QoS 0: the whole packet written to the socket; QoS 1: PUBACK; QoS 2:
// PUBCOMP), otherwise the status saying why it never will be (for
// example -10 when the connection was lost first). Runs on a transport
// thread, possibly before pub_tracked has returned; it must not block and
// must not call back into the client.
using PublishCallback = void (*)(void* user, uint64_t tag, int status);

// What applications hold to get, set, publish and subscribe by node reference.
// Results are status codes (zeb/status.h).
//
// Thread rules: once made, a client's operations may be called from several
// threads, provided its registry is no longer being changed. The registry must
// outlive the client, and every message must be freed before the client that
// delivered it is destroyed.
class ZEB_EXPORT IClient {
 public:
  virtual ~IClient();
  // On success *out is a message the caller owns.
  virtual int get(const char* ref, _Msg** out) = 0;
  virtual int set(const char* ref, char* data, size_t len) = 0;
  // Publishes an empty payload.
  virtual int pub(const char* ref);
  virtual int pub(const char* ref, char* data, size_t len) = 0;
  virtual int sub(const char* ref, MessageCallback callback, void* user) = 0;
  // Publishes and later reports the outcome through done(user, tag, status).
  // Any result but 200 means done is never called and nothing was kept. A
  // client freed while publishes are pending calls done with -10 for each
  // before freeClient returns. Default: -3, unsupported.
  virtual int pub_tracked(const char* ref, char* data, size_t len, PublishCallback done, void* user,
                          uint64_t tag);
  virtual int free_msg(_Msg* msg) = 0;
  // Default: does nothing and returns 200.
  virtual int unsub(const char* ref);
  // Default: does nothing and returns 200.
  virtual int exists(const char* ref);
};

// Filled by the three-argument makeClient; the caller owns registry and client
// and frees the client (freeClient) before the registry (delete).
struct _client_info {
  int32_t status;
  Registry* registry;
  IClient* client;
};

// A client over a borrowed registry, with its own plug-in loader (plug-ins from
// the default search path, see TransportLoader). A null registry throws
// std::invalid_argument. Free the result with freeClient.
ZEB_EXPORT IClient* makeClient(Registry* registry);
ZEB_EXPORT IClient* makeClient(Registry* registry, const char* log_name);

// Loads a RegistryFile from source (file path or inline JSON) and makes a
// client over it. Returns -9 for a null info; -17 when loading failed (info
// holds the load result and null pointers); else 200.
ZEB_EXPORT int makeClient(const char* source, const char* log_name, _client_info* info);

// Destroys a client and unloads its plug-ins; the registry is untouched. Null
// is ignored.
ZEB_EXPORT void freeClient(IClient* client);

// Gives a message back to the transport that made it: 1 for a null message,
// 0 when it names no transport, else the transport's free_msg result.
ZEB_EXPORT int freeMsg(_Msg* msg);

}  // namespace zeb
