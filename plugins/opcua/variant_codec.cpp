#include "variant_codec.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base64.h"
#include "date_time.h"
#include "zeb/opcua_value_record.h"

namespace {

using nlohmann::json;

constexpr uint8_t kVariantTypeVariant = 24;
// Estimated memory of one JSON value, and of a {"type","val"} or other small
// object with its members.
constexpr size_t kValueCost = sizeof(nlohmann::json);
constexpr size_t kObjectCost = 256;
constexpr size_t kMaxRank = 8;

const char* builtin_name(uint8_t type) {
  static const char* const kNames[] = {"null",
                                       "bool",
                                       "int8",
                                       "uint8",
                                       "int16",
                                       "uint16",
                                       "int32",
                                       "uint32",
                                       "int64",
                                       "uint64",
                                       "float",
                                       "double",
                                       "string",
                                       "datetime",
                                       "guid",
                                       "bytestring",
                                       "xmlelement",
                                       "nodeid",
                                       "expandednodeid",
                                       "statuscode",
                                       "qualifiedname",
                                       "localizedtext",
                                       "extensionobject",
                                       "datavalue",
                                       "variant",
                                       "diagnosticinfo"};
  // Unassigned ids 26..31 are read as ByteString.
  return type <= 25 ? kNames[type] : "bytestring";
}

// Smallest encoded size of one value, to bound array counts by the bytes left.
size_t min_size(uint8_t type) {
  switch (type) {
    case 4:
    case 5:
      return 2;
    case 6:
    case 7:
    case 10:
    case 12:
    case 15:
    case 16:
    case 19:
      return 4;
    case 8:
    case 9:
    case 11:
    case 13:
      return 8;
    case 14:
      return 16;
    case 17:
    case 18:
      return 2;
    case 20:
      return 6;
    case 22:
      return 3;
    default:
      return 1;
  }
}

json nullable_string(ByteReader& r) {
  bool is_null = false;
  std::string text = r.string(&is_null);
  return is_null ? json(nullptr) : json(std::move(text));
}

json decode_value(ByteReader& r, uint8_t type);

json decode_inner_variant(ByteReader& r) {
  r.enter();
  json value = VariantCodec::decode_variant(r);
  r.leave();
  return value;
}

json decode_value(ByteReader& r, uint8_t type) {
  switch (type) {
    case 1:
      return r.boolean();
    case 2:
      return r.i8();
    case 3:
      return r.u8();
    case 4:
      return r.i16();
    case 5:
      return r.u16();
    case 6:
      return r.i32();
    case 7:
      return r.u32();
    case 8:
      return r.i64();
    case 9:
      return r.u64();
    case 10:
      return VariantCodec::float_to_json_double(r.f32());
    case 11:
      return r.f64();
    case 12:
    case 16:
      return nullable_string(r);
    case 13:
      return DateTime::format(r.i64());
    case 14:
      return NodeId::format_guid(NodeId::read_guid(r));
    case 17:
      return NodeId::decode(r).to_text();
    case 18:
      return NodeId::decode(r, true).to_text();
    case 19:
      return r.u32();
    case 20: {
      const uint16_t ns = r.u16();
      const std::string name = r.string();
      return ns == 0 ? name : std::to_string(ns) + ":" + name;
    }
    case 21:
      return VariantCodec::decode_localized_text(r);
    case 22: {
      const VariantCodec::ExtensionObject object = VariantCodec::decode_extension_object(r);
      json body = nullptr;
      r.charge(kObjectCost + object.body.size() * 4 / 3 + 4);
      if (object.encoding == 1) body = Base64::encode(object.body);
      if (object.encoding == 2) body = object.body;
      return json{{"typeid", object.type_id.to_text()}, {"body", body}};
    }
    case 23: {
      r.enter();
      const VariantCodec::DataValue value = VariantCodec::decode_data_value(r);
      r.leave();
      return value.has_value ? value.value : json(nullptr);
    }
    case kVariantTypeVariant:
      return decode_inner_variant(r);
    case 25:
      VariantCodec::skip_diagnostic_info(r);
      return nullptr;
    default: {  // 15 ByteString and the unassigned ids
      bool is_null = false;
      const std::string bytes = r.string(&is_null);
      r.charge(bytes.size() * 4 / 3 + 4);
      return is_null ? json(nullptr) : json(Base64::encode(bytes));
    }
  }
}

// Nests a flat array by its dimensions (last index varying fastest).
json nest(const json& flat, const std::vector<int32_t>& dims, size_t level, size_t* at) {
  json out = json::array();
  for (int32_t i = 0; i < dims[level]; ++i) {
    if (level + 1 == dims.size()) {
      out.push_back(flat[(*at)++]);
    } else {
      out.push_back(nest(flat, dims, level + 1, at));
    }
  }
  return out;
}

template <typename T>
T read_native(const void* value) {
  T v;
  std::memcpy(&v, value, sizeof v);
  return v;
}

}  // namespace

double VariantCodec::float_to_json_double(float value) {
  if (!std::isfinite(value)) return static_cast<double>(value);
  char text[32];
  for (int precision = 6; precision <= 9; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, static_cast<double>(value));
    if (std::strtof(text, nullptr) == value) break;
  }
  return std::strtod(text, nullptr);
}

json VariantCodec::decode_variant(ByteReader& r) {
  const uint8_t mask = r.u8();
  const uint8_t type = mask & 0x3F;
  r.charge(kObjectCost);
  if (type == 0) {
    if (mask != 0) throw DecodeError("empty Variant with flags");
    return json{{"type", "null"}, {"val", nullptr}};
  }
  const char* name = builtin_name(type);
  if ((mask & 0x80) == 0) {
    if (mask & 0x40) throw DecodeError("dimensions on a scalar Variant");
    if (type == kVariantTypeVariant) throw DecodeError("Variant directly in a Variant");
    return json{{"type", name}, {"val", decode_value(r, type)}};
  }
  const int32_t raw_length = r.i32();
  if (raw_length < -1) throw DecodeError("negative array length");
  json values = raw_length == -1 ? json(nullptr) : json::array();
  if (raw_length > 0) {
    const size_t count = static_cast<size_t>(raw_length);
    if (count > r.remaining() / min_size(type)) throw DecodeError("array longer than the message");
    r.charge(count * kValueCost);
    values.get_ref<json::array_t&>().reserve(count);
    for (size_t i = 0; i < count; ++i) values.push_back(decode_value(r, type));
  }
  if (mask & 0x40) {
    const size_t count = r.array_length(4);
    std::vector<int32_t> dims;
    int64_t product = 1;
    for (size_t i = 0; i < count; ++i) {
      const int32_t dim = r.i32();
      if (dim < 0) throw DecodeError("negative array dimension");
      dims.push_back(dim);
      product = dim == 0 || product == 0 ? 0 : std::min<int64_t>(product * dim, INT32_MAX + 1LL);
    }
    const size_t length = raw_length > 0 ? static_cast<size_t>(raw_length) : 0;
    // Nested only when the dimensions describe the elements exactly; a zero
    // dimension or an absurd rank keeps the flat array.
    if (dims.size() >= 2 && dims.size() <= kMaxRank && product > 0 &&
        static_cast<size_t>(product) == length) {
      // The nested copy exists beside the flat one for a moment.
      r.charge(length * kValueCost);
      size_t at = 0;
      values = nest(values, dims, 0, &at);
    }
  }
  return json{{"type", name}, {"val", values}};
}

VariantCodec::DataValue VariantCodec::decode_data_value(ByteReader& r) {
  DataValue value;
  const uint8_t mask = r.u8();
  if (mask & 0xC0) throw DecodeError("unknown DataValue fields");
  if (mask & 0x01) {
    value.has_value = true;
    value.value = decode_variant(r);
  }
  if (mask & 0x02) value.status = r.u32();
  if (mask & 0x04) value.source_time = r.i64();
  if (mask & 0x10) r.u16();
  if (mask & 0x08) value.server_time = r.i64();
  if (mask & 0x20) r.u16();
  return value;
}

VariantCodec::ExtensionObject VariantCodec::decode_extension_object(ByteReader& r) {
  ExtensionObject object;
  object.type_id = NodeId::decode(r);
  object.encoding = r.u8();
  if (object.encoding > 2) throw DecodeError("unknown ExtensionObject encoding");
  if (object.encoding != 0) object.body = r.string();
  return object;
}

void VariantCodec::skip_diagnostic_info(ByteReader& r) {
  const uint8_t mask = r.u8();
  if (mask & 0x80) throw DecodeError("unknown DiagnosticInfo fields");
  if (mask & 0x01) r.i32();
  if (mask & 0x02) r.i32();
  if (mask & 0x08) r.i32();
  if (mask & 0x04) r.i32();
  if (mask & 0x10) r.string();
  if (mask & 0x20) r.u32();
  if (mask & 0x40) {
    r.enter();
    skip_diagnostic_info(r);
    r.leave();
  }
}

void VariantCodec::skip_diagnostic_infos(ByteReader& r) {
  const size_t count = r.array_length(1);
  for (size_t i = 0; i < count; ++i) skip_diagnostic_info(r);
}

std::string VariantCodec::decode_localized_text(ByteReader& r) {
  const uint8_t mask = r.u8();
  if (mask & 0xFC) throw DecodeError("unknown LocalizedText fields");
  if (mask & 0x01) r.string();
  return (mask & 0x02) ? r.string() : std::string();
}

bool VariantCodec::encode_record(ByteWriter& w, const void* record_bytes, std::string* error) {
  opcua_value::ValueRecord record;
  std::memcpy(&record, record_bytes, sizeof record);
  const char* name = opcua_value::type_name(record.type_code);
  if (name == nullptr) {
    *error = "unknown type code " + std::to_string(record.type_code);
    return false;
  }
  const size_t fixed = opcua_value::fixed_size(record.type_code);
  if (fixed != 0 && record.value_length != fixed) {
    *error = std::string("value length ") + std::to_string(record.value_length) + " for " + name;
    return false;
  }
  if (record.value == nullptr && record.value_length != 0) {
    *error = "null value address";
    return false;
  }
  if (record.value_length > static_cast<uint64_t>(INT32_MAX)) {
    *error = "value too long";
    return false;
  }
  w.u8(opcua_value::builtin_type(record.type_code));
  const void* v = record.value;
  switch (record.type_code) {
    case opcua_value::kBool:
      w.boolean(read_native<uint8_t>(v) != 0);
      break;
    case opcua_value::kInt8:
    case opcua_value::kUint8:
      w.u8(read_native<uint8_t>(v));
      break;
    case opcua_value::kInt16:
    case opcua_value::kUint16:
      w.u16(read_native<uint16_t>(v));
      break;
    case opcua_value::kInt32:
    case opcua_value::kUint32:
      w.u32(read_native<uint32_t>(v));
      break;
    case opcua_value::kInt64:
    case opcua_value::kUint64:
      w.u64(read_native<uint64_t>(v));
      break;
    case opcua_value::kFloat:
      w.f32(read_native<float>(v));
      break;
    case opcua_value::kDouble:
      w.f64(read_native<double>(v));
      break;
    case opcua_value::kString: {
      const std::string text(static_cast<const char*>(v), record.value_length);
      w.string(text);
      break;
    }
    default: {  // kDatetime
      const std::string text(static_cast<const char*>(v), record.value_length);
      int64_t ticks = 0;
      if (!DateTime::parse(text, &ticks)) {
        *error = "datetime text is not ISO 8601: " + text;
        return false;
      }
      w.i64(ticks);
      break;
    }
  }
  return true;
}
