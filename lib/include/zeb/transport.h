#pragma once

#include <cstddef>

#include "zeb/client.h"
#include "zeb/connection_metadata.h"
#include "zeb/export.h"
#include "zeb/plane_stats.h"

// The transport plug-in contract, shared by the library's loader and every
// plug-in. A plug-in is a shared library whose file name contains "zebt_" and
// that exports the three entry points declared at the end of this header.

namespace zeb {

// Method mask bits of mapping rules and transports.
constexpr int kMethodSub = 1;
constexpr int kMethodPub = 2;
constexpr int kMethodSet = 4;
constexpr int kMethodGet = 8;
constexpr int kMethodAny = kMethodSub | kMethodPub | kMethodSet | kMethodGet;

// Longest node reference a transport receives, NUL not counted.
constexpr size_t kMaxReferenceLength = 1023;

// One transport: carries get, set, publish and subscribe for the planes whose
// address has one of its schemes. ref is the node reference after the rule's
// rewrite; entry is the matching rule (the registry's NodeEntry* passed as
// void*), to be read only through the plane accessors below. Results are status codes
// (zeb/status.h).
//
// Thread rules: the library calls a transport from its callers' threads with no
// lock of its own; a transport guards its own state. It must not let an
// exception out of any operation.
class ZEB_EXPORT Transport {
 public:
  virtual ~Transport() = default;
  // The id the loader gave the transport.
  virtual int get_id() = 0;
  // Display name for log lines.
  virtual const char* get_transport_name() = 0;
  // Null-terminated list of URL schemes; the loader registers at most 8.
  virtual const char** get_schemes() = 0;
  // Mask of the kMethod* bits; the client rejects an operation whose bit is clear.
  virtual int get_supported_methods() = 0;
  virtual int set_option(const char* key, const char* value) = 0;
  // On success *out is a message made by this transport.
  virtual int get(const char* ref, void* entry, _Msg** out) = 0;
  virtual int set(const char* ref, void* entry, char* data, size_t len) = 0;
  virtual int pub(const char* ref, void* entry, char* data, size_t len) = 0;
  virtual int sub(const char* ref, void* entry, MessageCallback callback, void* user) = 0;
  // pub with completion (see IClient::pub_tracked): on 200, done is called
  // exactly once, from a transport thread or, when the transport is destroyed
  // first, with -10 from the destroying thread before its destructor returns.
  // On any other result done is never called and nothing is kept.
  virtual int pub_tracked(const char* ref, void* entry, char* data, size_t len,
                          PublishCallback done, void* user, uint64_t tag) = 0;
  virtual ConnectionMetadata connection_metadata(const char* ref, void* entry) = 0;
  // Optional: fills *out with the monitoring figures of the plane behind the
  // rule and returns 200, or returns 501 (BaseTransport's default) when the
  // transport keeps none. Called from a monitoring thread at any time; must not
  // open a connection that does not exist yet.
  virtual int plane_stats(const char* ref, void* entry, PlaneStats* out) = 0;
  // Frees a message this transport made; 1 means freed.
  virtual int free_msg(_Msg* msg) = 0;
};

}  // namespace zeb

extern "C" {

// Plane accessors: read-only views of the rule a transport receives as entry.
// entry is the NodeEntry* a transport was given. Each text stays valid as long
// as the rule (and so its registry) lives. An entry that is null or not a
// mapping rule of a RegistryFile gives "".
ZEB_EXPORT const char* zeb_get_plane_id(void* entry);
ZEB_EXPORT const char* zeb_get_transport_addr(void* entry);
ZEB_EXPORT const char* zeb_get_transport_scheme(void* entry);
// The plane's whole configuration object as compact JSON text.
ZEB_EXPORT const char* zeb_get_options(void* entry);

// Entry points every plug-in exports.
// A new transport for the plug-in's position id in the order of loading; log is
// the loader's logger handle (zeb/log.h). Null means the plug-in is unusable.
ZEB_EXPORT zeb::Transport* init_transport(int id, void* log);
// A version text; the library only checks that it exists.
ZEB_EXPORT const char* get_version();
// Destroys what init_transport returned; the result is ignored.
ZEB_EXPORT int cleanup_transport(zeb::Transport* transport);

typedef zeb::Transport* (*zeb_init_transport_fn)(int id, void* log);
typedef const char* (*zeb_get_version_fn)();
typedef int (*zeb_cleanup_transport_fn)(zeb::Transport* transport);
}
