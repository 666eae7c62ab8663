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

// Reads a string option; absent leaves *value unchanged.
bool read_string(const json& options, const char* key, std::string* value, std::string* error) {
  const auto found = options.find(key);
  if (found == options.end()) return true;
  if (!found->is_string()) {
    *error = std::string("option ") + key + " must be a string";
    return false;
  }
  *value = found->get<std::string>();
  return true;
}

bool read_bool(const json& options, const char* key, bool* value, std::string* error) {
  const auto found = options.find(key);
  if (found == options.end()) return true;
  if (!found->is_boolean()) {
    *error = std::string("option ") + key + " must be true or false";
    return false;
  }
  *value = found->get<bool>();
  return true;
}

bool known_policy(const std::string& name) {
  for (const char* known :
       {"None", "Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss", "auto"}) {
    if (name == known) return true;
  }
  return false;
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
  const bool security_ok =
      read_string(options, "security_policy", &o.security_policy, error) &&
      read_string(options, "security_mode", &o.security_mode, error) &&
      read_string(options, "pki_dir", &o.pki_dir, error) &&
      read_string(options, "certificate", &o.certificate_file, error) &&
      read_string(options, "private_key", &o.private_key_file, error) &&
      read_string(options, "application_uri", &o.application_uri, error) &&
      read_string(options, "server_certificate", &o.server_certificate_file, error) &&
      read_bool(options, "trust_on_first_use", &o.trust_on_first_use, error) &&
      read_string(options, "user", &o.user, error) &&
      read_string(options, "password", &o.password, error) &&
      read_string(options, "user_certificate", &o.user_certificate_file, error) &&
      read_string(options, "user_private_key", &o.user_private_key_file, error);
  if (!security_ok) return false;
  if (!known_policy(o.security_policy)) {
    *error = "unknown security_policy " + o.security_policy;
    return false;
  }
  if (!o.security_mode.empty() && o.security_mode != "Sign" &&
      o.security_mode != "SignAndEncrypt") {
    *error = "security_mode must be Sign or SignAndEncrypt";
    return false;
  }
  if (o.pki_dir.empty()) {
    *error = "pki_dir must not be empty";
    return false;
  }
  if (!o.user.empty() && !o.user_certificate_file.empty()) {
    *error = "give either user or user_certificate, not both";
    return false;
  }
  if (o.user_certificate_file.empty() != o.user_private_key_file.empty()) {
    *error = "user_certificate and user_private_key go together";
    return false;
  }
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
