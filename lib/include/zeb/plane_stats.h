#pragma once

#include <cstdint>

namespace zeb {

// What a transport tells about the connection of one plane, for monitoring.
// A field a transport does not track stays at -1 and is not reported.
struct PlaneStats {
  // 1 while connected, 0 while a connection was attempted and is not up.
  int connected = -1;
  // Connections made again after the first one was lost.
  int64_t reconnects = -1;
  // Publishes sent and not yet acknowledged by the other side.
  int64_t publishes_pending = -1;
  // Subscribed items (OPC UA monitored items) the server has created, and those
  // it refused or that wait to be created again.
  int64_t items_created = -1;
  int64_t items_failing = -1;
};

}  // namespace zeb
