#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

// Turns the JSON value of one typed OPC UA entry into the bytes the value
// record points at (native byte order; text types carry a trailing NUL that
// the returned length does not count).
//
// Numbers convert as C++ does: integers keep their low bits (70000 as uint16 is
// 4464), floating-point values are truncated toward zero. A floating-point
// value that does not fit the target type has no such conversion and is
// refused, as is a JSON value of the wrong kind. Throws std::invalid_argument.
class OpcuaValueEncoder {
 public:
  // `bytes` receives the value bytes; returns the value length.
  static uint64_t encode(int32_t type_code, const nlohmann::json& value, std::string& bytes);
};
