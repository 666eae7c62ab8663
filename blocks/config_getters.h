#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Getters through which every block constructor reads its own keys. Keys are
// looked up only when the configuration is an object. A present value of the
// wrong JSON type throws std::invalid_argument "<key>: <type error text>"; the
// block factory reports it as a rejected configuration.

// Absent key: the default. A number is converted to a 32-bit signed integer,
// a floating-point value truncated toward zero; a value outside that range is
// rejected rather than wrapped.
int32_t config_int(const nlohmann::json& config, const std::string& key, int32_t default_value);
// Required form: an absent key throws "Unable to find: <key> in: <config>".
int32_t config_int(const nlohmann::json& config, const std::string& key);

// Absent key: the default (the empty string in the short form).
std::string config_string(const nlohmann::json& config, const std::string& key,
                          const std::string& default_value);
std::string config_string(const nlohmann::json& config, const std::string& key);
// Required form: an absent key throws "Unable to find: <key> in: <config>".
std::string config_string_required(const nlohmann::json& config, const std::string& key);

// Absent key or null (an empty object that environment substitution turned into
// null): an empty object. Anything else but an object throws
// "<key> must be of type object".
nlohmann::json config_object(const nlohmann::json& config, const std::string& key);
