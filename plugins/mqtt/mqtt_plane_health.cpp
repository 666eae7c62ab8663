#include "mqtt_plane_health.h"

#include <map>
#include <mutex>

namespace {

struct PlaneState {
  bool attempted = false;
  bool connected = false;
  bool was_up = false;
  int64_t reconnects = 0;
  std::function<int64_t()> pending;
};

std::mutex& health_lock() {
  static std::mutex lock;
  return lock;
}

std::map<std::string, PlaneState>& health() {
  static std::map<std::string, PlaneState> table;
  return table;
}

}  // namespace

void mqtt_plane_health_set(const std::string& plane, bool connected) {
  std::lock_guard<std::mutex> guard(health_lock());
  PlaneState& state = health()[plane];
  if (connected && !state.connected && state.was_up) ++state.reconnects;
  state.attempted = true;
  state.connected = connected;
  if (connected) state.was_up = true;
}

void mqtt_plane_health_forget(const std::string& plane) {
  std::lock_guard<std::mutex> guard(health_lock());
  health().erase(plane);
}

bool mqtt_plane_healthy(const std::string& plane) {
  std::lock_guard<std::mutex> guard(health_lock());
  const auto it = health().find(plane);
  return it == health().end() || !it->second.attempted || it->second.connected;
}

void mqtt_plane_pending_source(const std::string& plane, std::function<int64_t()> source) {
  std::lock_guard<std::mutex> guard(health_lock());
  if (source) {
    health()[plane].pending = std::move(source);
    return;
  }
  const auto it = health().find(plane);
  if (it != health().end()) it->second.pending = nullptr;
}

bool mqtt_plane_stats(const std::string& plane, zeb::PlaneStats* out) {
  std::lock_guard<std::mutex> guard(health_lock());
  const auto it = health().find(plane);
  if (it == health().end() || !it->second.attempted) return false;
  out->connected = it->second.connected ? 1 : 0;
  out->reconnects = it->second.reconnects;
  out->publishes_pending = it->second.pending ? it->second.pending() : 0;
  return true;
}
