// The three entry points through which libzeb's loader binds this plug-in.
#include <new>

#include "opcua_transport.h"

extern "C" {

ZEB_EXPORT zeb::Transport* init_transport(int id, void* log) {
  return new (std::nothrow) OpcuaTransport(id, log);
}

ZEB_EXPORT const char* get_version() {
  return " { \"ext_name\":\"opcua\", \"zeb_int_ver\":1, \"ext_ver\":[1,0,0,0] }";
}

ZEB_EXPORT int cleanup_transport(zeb::Transport* transport) {
  delete transport;
  return 1;
}
}
