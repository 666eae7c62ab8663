// The flat C interface over the registry, client and logging classes. Every
// function catches everything: a C caller cannot receive an exception.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <type_traits>

#include "zeb/client.h"
#include "zeb/log.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/transport.h"
#include "zeb/zeb.h"

// C callers see zeb_msg with this layout.
static_assert(std::is_standard_layout<zeb::_Msg>::value, "message must be a C layout");
static_assert(offsetof(zeb::_Msg, reserved) == sizeof(void*), "message layout");
static_assert(offsetof(zeb::_Msg, data) == sizeof(void*) + sizeof(uint64_t), "message layout");
static_assert(offsetof(zeb::_Msg, len) == offsetof(zeb::_Msg, data) + sizeof(char*),
              "message layout");
static_assert(std::is_same<zeb_pub_callback, zeb::PublishCallback>::value, "callback type");
static_assert(ZEB_METHOD_SUB == zeb::kMethodSub && ZEB_METHOD_PUB == zeb::kMethodPub &&
                  ZEB_METHOD_SET == zeb::kMethodSet && ZEB_METHOD_GET == zeb::kMethodGet,
              "method bits");

namespace {

zeb::RegistryFile* registry_of(zeb_registry* handle) {
  return reinterpret_cast<zeb::RegistryFile*>(handle);
}

zeb::IClient* client_of(zeb_client* handle) {
  return reinterpret_cast<zeb::IClient*>(handle);
}

}  // namespace

extern "C" {

int zeb_make_registry(const char* log_name, const char* source, zeb_registry** out) {
  if (out == nullptr) return zeb::kInvalidOption;
  *out = nullptr;
  try {
    auto registry = std::make_unique<zeb::RegistryFile>(log_name, source);
    const int rc = registry->initialize();
    if (rc > 1000) *out = reinterpret_cast<zeb_registry*>(registry.release());
    return rc;
  } catch (...) {
    return zeb::kInternalError;
  }
}

void zeb_free_registry(zeb_registry* registry) {
  delete registry_of(registry);
}

int zeb_reg_add_conn(zeb_registry* registry, const char* plane_id, const char* plane_config_json) {
  if (registry == nullptr) return zeb::kNullRegistryHandle;
  try {
    return registry_of(registry)->add_plane(plane_id, plane_config_json) ? zeb::kSuccess
                                                                         : zeb::kBadRequest;
  } catch (...) {
    std::puts("Error adding conn");
    return zeb::kInternalError;
  }
}

int zeb_reg_add_rule(zeb_registry* registry, const char* plane_id, int methods,
                     const char* node_ref, const char* content_rewrite) {
  if (registry == nullptr) return zeb::kNullRegistryHandle;
  try {
    return registry_of(registry)->append_rule(plane_id, methods, node_ref, content_rewrite)
               ? zeb::kSuccess
               : zeb::kBadRequest;
  } catch (...) {
    std::puts("Error adding rule");
    return zeb::kInternalError;
  }
}

int zeb_make_client(const char* log_name, zeb_registry* registry, zeb_client** out) {
  if (out == nullptr) return zeb::kInvalidOption;
  *out = nullptr;
  try {
    *out = reinterpret_cast<zeb_client*>(zeb::makeClient(registry_of(registry), log_name));
    return zeb::kSuccess;
  } catch (...) {
    return zeb::kInternalError;
  }
}

void zeb_free_client(zeb_client* client) {
  zeb::freeClient(client_of(client));
}

int zeb_get(zeb_client* client, const char* ref, zeb_msg** out) {
  if (client == nullptr) return zeb::kNullClientHandle;
  try {
    return client_of(client)->get(ref, out);
  } catch (...) {
    return zeb::kInternalError;
  }
}

int zeb_set(zeb_client* client, const char* ref, char* data, size_t len) {
  if (client == nullptr) return zeb::kNullClientHandle;
  try {
    return client_of(client)->set(ref, data, len);
  } catch (...) {
    return zeb::kInternalError;
  }
}

int zeb_pub(zeb_client* client, const char* ref, char* data, size_t len) {
  if (client == nullptr) return zeb::kNullClientHandle;
  try {
    return client_of(client)->pub(ref, data, len);
  } catch (...) {
    return zeb::kInternalError;
  }
}

int zeb_pub_tracked(zeb_client* client, const char* ref, char* data, size_t len,
                    zeb_pub_callback done, void* user, uint64_t tag) {
  if (client == nullptr) return zeb::kNullClientHandle;
  try {
    return client_of(client)->pub_tracked(ref, data, len, done, user, tag);
  } catch (...) {
    return zeb::kInternalError;
  }
}

int zeb_sub(zeb_client* client, const char* ref, zeb_msg_callback callback, void* user) {
  if (client == nullptr) return zeb::kNullClientHandle;
  try {
    return client_of(client)->sub(ref, callback, user);
  } catch (...) {
    return zeb::kInternalError;
  }
}

int zeb_free_msg(zeb_msg* msg) {
  try {
    return zeb::freeMsg(msg);
  } catch (...) {
    return zeb::kInternalError;
  }
}

const char* zeb_status_to_str(int code) {
  return zeb::status_to_str(code);
}

void zeb_set_log_level(const char* name, int level) {
  if (level < 0 || level > 6) return;
  try {
    zeb::set_log_level(name, level);
  } catch (...) {
    std::fprintf(stderr, "Unable to set log level of %s\n", name != nullptr ? name : "(null)");
  }
}

void zeb_create_stdout_log(const char* name) {
  try {
    zeb::create_stdout_log(name);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Unable to create log %s: %s\n", name != nullptr ? name : "(null)",
                 e.what());
  } catch (...) {
    std::fprintf(stderr, "Unable to create log %s\n", name != nullptr ? name : "(null)");
  }
}

void zeb_create_file_log(const char* name, const char* path, int truncate) {
  try {
    zeb::create_file_log(name, path, truncate != 0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Unable to create log %s on file %s: %s\n",
                 name != nullptr ? name : "(null)", path != nullptr ? path : "(null)", e.what());
  } catch (...) {
    std::fprintf(stderr, "Unable to create log %s on file %s\n", name != nullptr ? name : "(null)",
                 path != nullptr ? path : "(null)");
  }
}
}
