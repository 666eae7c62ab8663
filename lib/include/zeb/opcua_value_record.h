#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

// The vocabulary of typed OPC UA values exchanged between the OPC UA blocks and
// the transport that serves OPC UA planes: type names, their codes (the OPC UA
// built-in type id minus one) and the 24-byte value record handed to `set`.
// Self-contained on purpose, so both sides include it without anything else.
//
// Thread rules: constants and pure functions only.
namespace opcua_value {

enum TypeCode : int32_t {
  kBool = 0,
  kInt8 = 1,
  kUint8 = 2,
  kInt16 = 3,
  kUint16 = 4,
  kInt32 = 5,
  kUint32 = 6,
  kInt64 = 7,
  kUint64 = 8,
  kFloat = 9,
  kDouble = 10,
  kString = 11,
  kDatetime = 12,
};

constexpr int32_t kTypeCount = 13;

// Names indexed by code.
constexpr const char* kTypeNames[kTypeCount] = {
    "bool",  "int8",   "uint8", "int16",  "uint16", "int32",    "uint32",
    "int64", "uint64", "float", "double", "string", "datetime",
};

// The record handed to `set` as data, 24 bytes long. value points at
// value_length bytes in native byte order (for kString and kDatetime the text,
// followed by a NUL that value_length does not count); it is valid only during
// the call.
struct ValueRecord {
  int32_t type_code;
  uint32_t padding;
  uint64_t value_length;
  const void* value;
};
static_assert(sizeof(ValueRecord) == 24, "the value record is 24 bytes");
static_assert(offsetof(ValueRecord, value_length) == 8, "value length at offset 8");
static_assert(offsetof(ValueRecord, value) == 16, "value address at offset 16");

// The name of a code; null for a code outside the table.
inline const char* type_name(int32_t code) {
  return code >= 0 && code < kTypeCount ? kTypeNames[code] : nullptr;
}

// The code of a name, compared after lower-casing; -1 for an unknown name.
inline int32_t type_code(const std::string& name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (int32_t code = 0; code < kTypeCount; ++code) {
    if (lower == kTypeNames[code]) return code;
  }
  return -1;
}

// Byte size of a fixed-size type's value; 0 for kString and kDatetime (text)
// and for unknown codes.
inline size_t fixed_size(int32_t code) {
  switch (code) {
    case kBool:
    case kInt8:
    case kUint8:
      return 1;
    case kInt16:
    case kUint16:
      return 2;
    case kInt32:
    case kUint32:
    case kFloat:
      return 4;
    case kInt64:
    case kUint64:
    case kDouble:
      return 8;
    default:
      return 0;
  }
}

// The OPC UA built-in type id of a code (Boolean is 1).
constexpr uint8_t builtin_type(int32_t code) {
  return static_cast<uint8_t>(code + 1);
}

}  // namespace opcua_value
