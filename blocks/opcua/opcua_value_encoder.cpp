#include "blocks/opcua/opcua_value_encoder.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "zeb/opcua_value_record.h"

namespace {

template <typename T>
void put(std::string& bytes, T value) {
  bytes.assign(sizeof(T), '\0');
  std::memcpy(&bytes[0], &value, sizeof(T));
}

// Floating-point values must land inside the target's range after truncation.
template <typename T>
T from_double(double value, const char* type) {
  const double truncated = std::trunc(value);
  // Both bounds as doubles: the upper one is exclusive because 2^63 and 2^64
  // themselves are not representable in the 64-bit targets.
  const double low = static_cast<double>(std::numeric_limits<T>::lowest());
  const double high = std::ldexp(1.0, std::numeric_limits<T>::digits);
  if (!(truncated >= low && truncated < high)) {
    throw std::invalid_argument(std::string("value ") + std::to_string(value) +
                                " does not fit type " + type);
  }
  return static_cast<T>(truncated);
}

template <typename T>
T integer(const nlohmann::json& value, const char* type) {
  if (value.is_number_float()) return from_double<T>(value.get<double>(), type);
  if (value.is_number_unsigned()) return static_cast<T>(value.get<uint64_t>());
  if (value.is_number_integer()) return static_cast<T>(value.get<int64_t>());
  throw std::invalid_argument(std::string("type ") + type + " needs a number, got " +
                              value.type_name());
}

double number(const nlohmann::json& value, const char* type) {
  if (!value.is_number()) {
    throw std::invalid_argument(std::string("type ") + type + " needs a number, got " +
                                value.type_name());
  }
  return value.get<double>();
}

}  // namespace

uint64_t OpcuaValueEncoder::encode(int32_t type_code, const nlohmann::json& value,
                                   std::string& bytes) {
  using namespace opcua_value;
  const char* type = type_name(type_code);
  switch (type_code) {
    case kBool:
      if (!value.is_boolean()) {
        throw std::invalid_argument(std::string("type bool needs true or false, got ") +
                                    value.type_name());
      }
      put<uint8_t>(bytes, value.get<bool>() ? 1 : 0);
      break;
    case kInt8:
      put(bytes, integer<int8_t>(value, type));
      break;
    case kUint8:
      put(bytes, integer<uint8_t>(value, type));
      break;
    case kInt16:
      put(bytes, integer<int16_t>(value, type));
      break;
    case kUint16:
      put(bytes, integer<uint16_t>(value, type));
      break;
    case kInt32:
      put(bytes, integer<int32_t>(value, type));
      break;
    case kUint32:
      put(bytes, integer<uint32_t>(value, type));
      break;
    case kInt64:
      put(bytes, integer<int64_t>(value, type));
      break;
    case kUint64:
      put(bytes, integer<uint64_t>(value, type));
      break;
    case kFloat: {
      const double d = number(value, type);
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        throw std::invalid_argument("value " + std::to_string(d) + " does not fit type float");
      }
      put(bytes, static_cast<float>(d));
      break;
    }
    case kDouble:
      put(bytes, number(value, type));
      break;
    case kString:
    case kDatetime: {
      if (!value.is_string()) {
        throw std::invalid_argument(std::string("type ") + type + " needs a string, got " +
                                    value.type_name());
      }
      const std::string& text = value.get_ref<const std::string&>();
      bytes.assign(text);
      bytes.push_back('\0');
      return text.size();
    }
    default:
      throw std::invalid_argument("unknown type code " + std::to_string(type_code));
  }
  return bytes.size();
}
