#include "opcua_connection.h"

// Kept apart from the protocol code: monitoring only reads the connection.
void OpcuaConnection::stats(zeb::PlaneStats* out) {
  const uint64_t sessions = sessions_.load(std::memory_order_relaxed);
  out->connected = ready_.load() ? 1 : 0;
  out->reconnects = sessions > 1 ? static_cast<int64_t>(sessions - 1) : 0;
  subscriptions_.count_items(&out->items_created, &out->items_failing);
}
