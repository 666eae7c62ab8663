#include "opcua_connection.h"

// Kept apart from the protocol code: monitoring only reads the connection.
void OpcuaConnection::stats(zeb::PlaneStats* out) {
  const uint64_t sessions = sessions_.load(std::memory_order_relaxed);
  out->connected = ready_.load() ? 1 : 0;
  out->reconnects = sessions > 1 ? static_cast<int64_t>(sessions - 1) : 0;
  int64_t created = 0;
  int64_t failing = 0;
  std::lock_guard<std::mutex> guard(items_lock_);
  for (const auto& entry : items_by_topic_) {
    if (entry.second->state == ItemState::kActive) ++created;
    if (entry.second->state == ItemState::kPending) ++failing;
  }
  out->items_created = created;
  out->items_failing = failing;
}
