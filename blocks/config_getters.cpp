#include "blocks/config_getters.h"

#include <cmath>
#include <limits>
#include <stdexcept>

using nlohmann::json;

namespace {

const json* find_key(const json& config, const std::string& key) {
  if (!config.is_object()) return nullptr;
  auto it = config.find(key);
  return it == config.end() ? nullptr : &*it;
}

[[noreturn]] void throw_missing(const json& config, const std::string& key) {
  throw std::invalid_argument("Unable to find: " + key + " in: " + config.dump());
}

int32_t to_int32(const json& value, const std::string& key) {
  constexpr double kMin = std::numeric_limits<int32_t>::min();
  constexpr double kMax = std::numeric_limits<int32_t>::max();
  if (!value.is_number()) {
    // The JSON library would quietly turn a boolean into 0 or 1; only numbers count.
    throw std::invalid_argument(
        key + ": [json.exception.type_error.302] type must be number, but is " + value.type_name());
  }
  const double number = value.is_number_float()      ? std::trunc(value.get<double>())
                        : value.is_number_unsigned() ? static_cast<double>(value.get<uint64_t>())
                                                     : static_cast<double>(value.get<int64_t>());
  if (!(number >= kMin && number <= kMax)) {
    throw std::invalid_argument(key + ": value " + value.dump() +
                                " does not fit a 32-bit signed integer");
  }
  return static_cast<int32_t>(number);
}

std::string to_string(const json& value, const std::string& key) {
  try {
    return value.get<std::string>();
  } catch (const json::type_error& e) {
    throw std::invalid_argument(key + ": " + e.what());
  }
}

}  // namespace

int32_t config_int(const json& config, const std::string& key, int32_t default_value) {
  const json* value = find_key(config, key);
  return value ? to_int32(*value, key) : default_value;
}

int32_t config_int(const json& config, const std::string& key) {
  const json* value = find_key(config, key);
  if (!value) throw_missing(config, key);
  return to_int32(*value, key);
}

std::string config_string(const json& config, const std::string& key,
                          const std::string& default_value) {
  const json* value = find_key(config, key);
  return value ? to_string(*value, key) : default_value;
}

std::string config_string(const json& config, const std::string& key) {
  return config_string(config, key, std::string());
}

std::string config_string_required(const json& config, const std::string& key) {
  const json* value = find_key(config, key);
  if (!value) throw_missing(config, key);
  return to_string(*value, key);
}

json config_object(const json& config, const std::string& key) {
  const json* value = find_key(config, key);
  if (!value || value->is_null()) return json::object();
  if (!value->is_object()) throw std::invalid_argument(key + " must be of type object");
  return *value;
}
