#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "mqtt_callback_handler.h"
#include "zeb/base_transport.h"

// One broker connection of a plane.
struct MQTTHandles {
  int qos = 0;
  std::unique_ptr<MQTTCallbackHandler> handler;
};

// Publish and subscribe over MQTT brokers for planes with the scheme
// "mqtt-tcp", or "mqtts" for MQTT over TLS. One connection per plane id, made on first use and
// kept, up or down, for the life of the transport; its network thread connects and reconnects with
// back-off.
//
// Thread rules: `pub`, `pub_tracked` and `sub` run on the callers' threads.
// `connections_lock_` guards `connections_` (held only for look-ups and
// insertions); `open_lock_` serialises making connections, so two callers
// never make the same plane twice. Neither is held by the network threads.
class MQTTTransport : public zeb::BaseTransport {
 public:
  MQTTTransport(int id, void* log);
  // Ends every connection in order (see MQTTCallbackHandler::stop).
  ~MQTTTransport() override;

  const char* get_transport_name() override;
  const char** get_schemes() override;
  int get_supported_methods() override;
  int pub(const char* ref, void* entry, char* data, size_t len) override;
  int pub_tracked(const char* ref, void* entry, char* data, size_t len, zeb::PublishCallback done,
                  void* user, uint64_t tag) override;
  int sub(const char* ref, void* entry, zeb::MessageCallback callback, void* user) override;
  // Unhealthy while the plane's connection is down after an attempt, whichever
  // transport of the process made it.
  zeb::ConnectionMetadata connection_metadata(const char* ref, void* entry) override;
  // The plane's connection state, reconnections and unconfirmed publishes,
  // whichever transport of the process made its connection; 501 before any
  // attempt.
  int plane_stats(const char* ref, void* entry, zeb::PlaneStats* out) override;
  int free_msg(zeb::_Msg* msg) override;

  void* log() const { return log_; }

  static const char* schemes[3];

 private:
  // A subscription recorded on a new connection before its network thread
  // starts, so messages a persistent session kept for us are never without
  // their subscriber.
  struct FirstSubscription {
    const char* topic;
    zeb::MessageCallback callback;
    void* user;
  };

  // Finds or makes the connection of the plane `entry` names: made to publish
  // when `first` is null, else recording `first` (`*created` tells whether it
  // did). Null when the options are refused (said once per plane and reason).
  // Throws when a connection cannot be set up.
  MQTTCallbackHandler* connection(void* entry, int* qos_out, const FirstSubscription* first,
                                  bool* created);
  int publish(const char* ref, void* entry, char* data, size_t len, zeb::PublishCallback done,
              void* user, uint64_t tag);

  void* log_;
  std::mutex open_lock_;
  std::mutex connections_lock_;
  std::map<std::string, MQTTHandles> connections_;  // guarded by connections_lock_
  std::map<std::string, std::string> refused_;      // plane -> why; guarded by open_lock_
};
