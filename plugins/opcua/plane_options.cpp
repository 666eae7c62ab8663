#include "plane_options.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <nlohmann/json.hpp>

#include "zeb/url.h"

namespace {

using nlohmann::json;

// Reads a numeric option within [min, max]; absent leaves *value unchanged.
template <typename T>
bool read_number(const json& options, const char* key, double min, double max, T* value,
                 std::string* error) {
  const auto found = options.find(key);
  if (found == options.end()) return true;
  if (!found->is_number()) {
    *error = std::string("option ") + key + " must be a number";
    return false;
  }
  const double number = found->get<double>();
  if (!std::isfinite(number) || number < min || number > max) {
    *error = std::string("option ") + key + " out of range";
    return false;
  }
  *value = static_cast<T>(number);
  return true;
}

}  // namespace

bool PlaneOptions::parse(const std::string& json_text, PlaneOptions* out, std::string* error) {
  PlaneOptions o;
  json options;
  try {
    options = json::parse(json_text);
  } catch (const std::exception& e) {
    *error = std::string("options are not JSON: ") + e.what();
    return false;
  }
  if (!options.is_object()) {
    *error = "options are not a JSON object";
    return false;
  }
  const auto addr = options.find("transport_addr");
  if (addr == options.end() || !addr->is_string()) {
    *error = "transport_addr missing";
    return false;
  }
  o.endpoint_url = addr->get<std::string>();
  try {
    const zeb::Url url(o.endpoint_url);
    if (url.scheme() != "opc.tcp") {
      *error = "transport_addr is not an opc.tcp address: " + o.endpoint_url;
      return false;
    }
    o.host = url.host();
    if (o.host.empty()) {
      *error = "transport_addr has no host: " + o.endpoint_url;
      return false;
    }
    if (!url.port().empty()) {
      const std::string& port = url.port();
      if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(port) < 1 || std::stoi(port) > 65535) {
        *error = "transport_addr has a bad port: " + o.endpoint_url;
        return false;
      }
      o.port = std::stoi(port);
    }
  } catch (const std::exception& e) {
    *error = "transport_addr is not a URL: " + o.endpoint_url + ": " + e.what();
    return false;
  }
  // The Hello carries the URL and servers refuse longer ones.
  if (o.endpoint_url.size() > 4096) {
    *error = "transport_addr longer than 4096 bytes";
    return false;
  }
  const bool ok =
      read_number(options, "timeout_ms", 1, 3600000, &o.timeout_ms, error) &&
      read_number(options, "publishing_interval_ms", 1, 3600000, &o.publishing_interval_ms,
                  error) &&
      read_number(options, "sampling_interval_ms", -1, 3600000, &o.sampling_interval_ms, error) &&
      read_number(options, "queue_size", 1, 100000, &o.queue_size, error) &&
      read_number(options, "keep_alive_count", 1, 100000, &o.keep_alive_count, error) &&
      read_number(options, "lifetime_count", 1, 1000000, &o.lifetime_count, error) &&
      read_number(options, "session_timeout_ms", 1000, 86400000, &o.session_timeout_ms, error) &&
      read_number(options, "token_lifetime_ms", 1000, 86400000, &o.token_lifetime_ms, error) &&
      read_number(options, "reconnect_max_ms", 100, 3600000, &o.reconnect_max_ms, error) &&
      read_number(options, "publish_requests", 1, 1000, &o.publish_requests, error) &&
      read_number(options, "max_publish_requests", 1, 1000, &o.max_publish_requests, error);
  if (!ok) return false;
  if (o.max_publish_requests < o.publish_requests) o.max_publish_requests = o.publish_requests;
  // The server deletes a subscription whose lifetime is under three keep-alives.
  if (o.lifetime_count < 3 * o.keep_alive_count) o.lifetime_count = 3 * o.keep_alive_count;
  *out = std::move(o);
  return true;
}

int PlaneOptions::backoff_ms(int attempts) const {
  int delay = 250;
  for (int i = 1; i < attempts && delay < reconnect_max_ms; ++i) delay *= 2;
  return std::min(delay, reconnect_max_ms);
}
