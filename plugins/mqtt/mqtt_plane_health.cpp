#include "mqtt_plane_health.h"

#include <map>
#include <mutex>

namespace {

std::mutex& health_lock() {
  static std::mutex lock;
  return lock;
}

std::map<std::string, bool>& health() {
  static std::map<std::string, bool> table;
  return table;
}

}  // namespace

void mqtt_plane_health_set(const std::string& plane, bool connected) {
  std::lock_guard<std::mutex> guard(health_lock());
  health()[plane] = connected;
}

void mqtt_plane_health_forget(const std::string& plane) {
  std::lock_guard<std::mutex> guard(health_lock());
  health().erase(plane);
}

bool mqtt_plane_healthy(const std::string& plane) {
  std::lock_guard<std::mutex> guard(health_lock());
  const auto it = health().find(plane);
  return it == health().end() || it->second;
}
