/* Flat C interface of the client library. Compiles as C and as C++.
 *
 * Handles are opaque. Whoever makes an object frees it with the matching
 * function: the client before the registry it was made over, and every message
 * before the client that delivered it. Results are status codes: 200 is
 * success, zeb_status_to_str gives the text of any code. No function lets an
 * exception or error escape other than through its result.
 *
 * Thread rules: build a registry (zeb_make_registry, zeb_reg_add_conn,
 * zeb_reg_add_rule) before making clients over it; afterwards clients may be
 * used from several threads. Subscription callbacks run on a transport's
 * thread. Plug-ins are found on ZEB_EXT_LIB_PATH ("a:b"), else in "ext_lib". */
#ifndef ZEB_ZEB_H
#define ZEB_ZEB_H

#include <stddef.h>
#include <stdint.h>

#include "zeb/export.h"

/* Method mask bits for zeb_reg_add_rule. */
#define ZEB_METHOD_SUB 1
#define ZEB_METHOD_PUB 2
#define ZEB_METHOD_SET 4
#define ZEB_METHOD_GET 8

#ifdef __cplusplus
#include "zeb/client.h"
typedef zeb::_Msg zeb_msg;
extern "C" {
#else
/* A message made by a transport: len payload bytes at data, then a NUL. */
typedef struct zeb_msg {
  void* transport;
  uint64_t reserved;
  char* data;
  size_t len;
} zeb_msg;
#endif

typedef struct zeb_registry zeb_registry;
typedef struct zeb_client zeb_client;

/* Subscription callback: (plane text or null, topic, message, user data). The
 * callback owns msg and gives it back with zeb_free_msg. */
typedef void (*zeb_msg_callback)(const char* plane, const char* topic, zeb_msg* msg, void* user);

/* Outcome of one tracked publish, called exactly once for every zeb_pub_tracked
 * that returned 200: 200 once the plane acknowledged the message (QoS 0: the
 * whole packet written to the socket; QoS 1: PUBACK; QoS 2: PUBCOMP), otherwise
 * the status saying why it never will be (-10: the connection was lost first,
 * or the client was freed). It runs on a transport thread, possibly before
 * zeb_pub_tracked has returned; it must not block and must not call back into
 * the client. */
typedef void (*zeb_pub_callback)(void* user, uint64_t tag, int status);

/* Loads a registry from source: a file path, or JSON text given in its place.
 * Returns the load result (above 1000 on success, *out set) or a negative code
 * (*out null); -9 for a null out. */
ZEB_EXPORT int zeb_make_registry(const char* log_name, const char* source, zeb_registry** out);
ZEB_EXPORT void zeb_free_registry(zeb_registry* registry);
/* Adds or replaces a plane: 200, 400 when refused, -16 null registry, -11 bad JSON. */
ZEB_EXPORT int zeb_reg_add_conn(zeb_registry* registry, const char* plane_id,
                                const char* plane_config_json);
/* Appends a mapping rule: 200, 400 when refused, -16 null registry. */
ZEB_EXPORT int zeb_reg_add_rule(zeb_registry* registry, const char* plane_id, int methods,
                                const char* node_ref, const char* content_rewrite);

/* Makes a client over registry: 200; -11 (and *out null) on failure, a null
 * registry included; -9 for a null out. */
ZEB_EXPORT int zeb_make_client(const char* log_name, zeb_registry* registry, zeb_client** out);
ZEB_EXPORT void zeb_free_client(zeb_client* client);

/* Operations by node reference; -15 for a null client. */
ZEB_EXPORT int zeb_get(zeb_client* client, const char* ref, zeb_msg** out);
ZEB_EXPORT int zeb_set(zeb_client* client, const char* ref, char* data, size_t len);
ZEB_EXPORT int zeb_pub(zeb_client* client, const char* ref, char* data, size_t len);
/* zeb_pub with completion: on 200, done(user, tag, status) follows exactly once;
 * on any other result it never does. zeb_free_client completes pending ones
 * with -10 before it returns. -9 for a null done; -3 where the plane's
 * transport cannot report completion. */
ZEB_EXPORT int zeb_pub_tracked(zeb_client* client, const char* ref, char* data, size_t len,
                               zeb_pub_callback done, void* user, uint64_t tag);
ZEB_EXPORT int zeb_sub(zeb_client* client, const char* ref, zeb_msg_callback callback, void* user);
/* 1 for a null message or when freed; 0 when it names no transport. */
ZEB_EXPORT int zeb_free_msg(zeb_msg* msg);

ZEB_EXPORT const char* zeb_status_to_str(int code);

/* Logging: levels 0 trace .. 6 off; other levels are ignored. */
ZEB_EXPORT void zeb_set_log_level(const char* name, int level);
ZEB_EXPORT void zeb_create_stdout_log(const char* name);
/* A file that cannot be opened leaves no logger; the reason goes to stderr. */
ZEB_EXPORT void zeb_create_file_log(const char* name, const char* path, int truncate);

#ifdef __cplusplus
}
#endif

#endif /* ZEB_ZEB_H */
