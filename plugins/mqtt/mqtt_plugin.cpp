// The three entry points through which libzeb's loader binds this plug-in.
#include <mosquitto.h>

#include <mutex>
#include <new>

#include "mqtt_transport.h"

namespace {
std::mutex init_lock;
}  // namespace

extern "C" {

ZEB_EXPORT zeb::Transport* init_transport(int id, void* log) {
  std::lock_guard<std::mutex> guard(init_lock);
  mosquitto_lib_init();
  return new (std::nothrow) MQTTTransport(id, log);
}

ZEB_EXPORT const char* get_version() {
  return " { \"ext_name\":\"mqtt\", \"zeb_int_ver\":1, \"ext_ver\":[1,0,0,0] }";
}

ZEB_EXPORT int cleanup_transport(zeb::Transport* transport) {
  delete transport;
  mosquitto_lib_cleanup();
  return 1;
}
}
