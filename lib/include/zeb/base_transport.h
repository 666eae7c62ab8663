#pragma once

#include "zeb/transport.h"

namespace zeb {

// The base every transport plug-in derives from: a harmless default for each
// operation, so a plug-in overrides only what it carries. As a transport of its
// own it supports no method, so a client answers -3 for everything through it.
//
// Thread rules: the defaults keep no state; derived classes guard their own.
class ZEB_EXPORT BaseTransport : public Transport {
 public:
  explicit BaseTransport(int id);
  ~BaseTransport() override;
  BaseTransport(const BaseTransport&) = delete;
  BaseTransport& operator=(const BaseTransport&) = delete;

  int get_id() override;
  // "__BASE__"
  const char* get_transport_name() override;
  // BaseTransport::schemes
  const char** get_schemes() override;
  // 0: no method.
  int get_supported_methods() override;
  // 1, ignoring the option.
  int set_option(const char* key, const char* value) override;
  // Sets *out (when out is not null) to null; -3.
  int get(const char* ref, void* entry, _Msg** out) override;
  // -3 each.
  int set(const char* ref, void* entry, char* data, size_t len) override;
  int pub(const char* ref, void* entry, char* data, size_t len) override;
  int sub(const char* ref, void* entry, MessageCallback callback, void* user) override;
  int pub_tracked(const char* ref, void* entry, char* data, size_t len, PublishCallback done,
                  void* user, uint64_t tag) override;
  // Healthy.
  ConnectionMetadata connection_metadata(const char* ref, void* entry) override;
  // 501: nothing to tell.
  int plane_stats(const char* ref, void* entry, PlaneStats* out) override;
  // 1, without touching the message.
  int free_msg(_Msg* msg) override;

  // {"base", null, null}
  static const char* schemes[3];

 protected:
  int id_;
};

}  // namespace zeb
