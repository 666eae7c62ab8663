#pragma once

#include <mosquitto.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "mqtt_callback_handler.h"
#include "zeb/base_transport.h"

// libmosquitto handle owner.
struct MosquittoDeleter {
  void operator()(mosquitto* mosq) const { mosquitto_destroy(mosq); }
};
using MosquittoPtr = std::unique_ptr<mosquitto, MosquittoDeleter>;

// One open broker connection of a plane.
struct MQTTHandles {
  int qos = 0;
  MosquittoPtr mosq;
  std::unique_ptr<MQTTCallbackHandler> handler;
};

// Publish and subscribe over MQTT brokers for planes with the scheme
// "mqtt-tcp". One connection per plane id, opened on first use and served by
// its own network thread for the life of the transport.
//
// Thread rules: `pub` and `sub` run on the callers' threads. `connections_lock_`
// guards `connections_` (held only for look-ups and insertions);
// `open_lock_` serialises opening connections, so two callers never open the
// same plane twice. Neither is held by the network threads.
class MQTTTransport : public zeb::BaseTransport {
 public:
  MQTTTransport(int id, void* log);
  ~MQTTTransport() override;

  const char* get_transport_name() override;
  const char** get_schemes() override;
  int get_supported_methods() override;
  int pub(const char* ref, void* entry, char* data, size_t len) override;
  int sub(const char* ref, void* entry, zeb::MessageCallback callback, void* user) override;
  zeb::ConnectionMetadata connection_metadata(const char* ref, void* entry) override;
  int free_msg(zeb::_Msg* msg) override;

  // A subscription to record on a connection before its network thread starts.
  struct FirstSubscription {
    const char* topic;
    zeb::MessageCallback callback;
    void* user;
  };

  // Finds or opens the connection of the plane `entry` names; on success the
  // handle and its QoS are stored. A new connection records `first` before it
  // reads anything, so messages a persistent session kept for us are never
  // without their subscriber; `created` tells whether that happened. Throws on
  // options that are not valid JSON.
  bool create_mqtt_conn(void* entry, mosquitto** mosq_out, int* qos_inout,
                        MQTTCallbackHandler** handler_out = nullptr,
                        const FirstSubscription* first = nullptr, bool* created = nullptr);

  void* log() const { return log_; }

  static const char* schemes[2];

 private:
  bool find_conn(const std::string& plane_id, mosquitto** mosq_out, int* qos_out,
                 MQTTCallbackHandler** handler_out);

  void* log_;
  std::mutex open_lock_;
  std::mutex connections_lock_;
  std::map<std::string, MQTTHandles> connections_;  // guarded by connections_lock_
};
