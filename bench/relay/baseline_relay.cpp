// The plain way to build this relay, measured beside weft-pipe on the same
// machine: one thread in libmosquitto's own loop, one connection that
// subscribes to the input topic and publishes to the output topic, and the
// time-series transform done on the JSON library's DOM (parse, build, dump).
// Its output equals the JSONTOTIMESERIES block's byte for byte.
//
// baseline_relay PORT IN_TOPIC OUT_TOPIC QOS
#include <mosquitto.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "dom_timeseries.h"

namespace {

struct Relay {
  std::string in_topic;
  std::string out_topic;
  int qos = 0;
};

void on_message(mosquitto* mosq, void* user, const mosquitto_message* msg) {
  const auto* relay = static_cast<const Relay*>(user);
  const char* text = static_cast<const char*>(msg->payload);
  const auto document = nlohmann::json::parse(text, text + msg->payloadlen, nullptr, false);
  if (document.is_discarded()) return;
  const std::string record = dom_timeseries::dom_nested(document).dump();
  mosquitto_publish(mosq, nullptr, relay->out_topic.c_str(), static_cast<int>(record.size()),
                    record.data(), relay->qos, false);
}

// Subscribes after every connect, so a reconnect resubscribes too.
void on_connect(mosquitto* mosq, void* user, int result) {
  if (result != 0) return;
  const auto* relay = static_cast<const Relay*>(user);
  mosquitto_subscribe(mosq, nullptr, relay->in_topic.c_str(), relay->qos);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: baseline_relay PORT IN_TOPIC OUT_TOPIC QOS\n");
    return 2;
  }
  Relay relay{argv[2], argv[3], std::atoi(argv[4])};
  mosquitto_lib_init();
  std::unique_ptr<mosquitto, decltype(&mosquitto_destroy)> mosq(
      mosquitto_new(nullptr, true, &relay), mosquitto_destroy);
  if (!mosq) return 1;
  mosquitto_int_option(mosq.get(), MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_callback_set(mosq.get(), on_connect);
  mosquitto_message_callback_set(mosq.get(), on_message);
  if (mosquitto_connect(mosq.get(), "127.0.0.1", std::atoi(argv[1]), 30) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "baseline_relay: cannot connect\n");
    return 1;
  }
  const int result = mosquitto_loop_forever(mosq.get(), -1, 1);
  mosq.reset();
  mosquitto_lib_cleanup();
  return result == MOSQ_ERR_SUCCESS ? 0 : 1;
}
