#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "byte_reader.h"
#include "byte_writer.h"
#include "node_id.h"

// Variants, DataValues and the structures inside them, between OPC UA binary
// and the JSON shape the OPC UA blocks use: {"type": NAME, "val": VALUE}.
//
// NAME is a type name of the value record (zeb/opcua_value_record.h) for the
// built-in types Boolean .. DateTime; others are named "guid", "bytestring",
// "xmlelement", "nodeid", "expandednodeid", "statuscode", "qualifiedname",
// "localizedtext", "extensionobject", "datavalue", "variant", "diagnosticinfo",
// and an empty Variant is {"type":"null","val":null}. An array keeps the
// element's NAME with a JSON array as VALUE (nested per dimension for a
// matrix).
//
// Decoders throw DecodeError on bad input; encoders throw nothing.
// Thread rules: pure functions.
class VariantCodec {
 public:
  struct DataValue {
    bool has_value = false;
    nlohmann::json value;  // {"type","val"} when has_value
    uint32_t status = 0;   // Good when absent
    int64_t source_time = 0;
    int64_t server_time = 0;
  };

  struct ExtensionObject {
    NodeId type_id;
    uint8_t encoding = 0;  // 0 no body, 1 binary, 2 XML
    std::string body;
  };

  static nlohmann::json decode_variant(ByteReader& r);
  static DataValue decode_data_value(ByteReader& r);
  static ExtensionObject decode_extension_object(ByteReader& r);
  static void skip_diagnostic_info(ByteReader& r);
  // DiagnosticInfo[]
  static void skip_diagnostic_infos(ByteReader& r);
  // LocalizedText as its text; null text gives an empty string.
  static std::string decode_localized_text(ByteReader& r);

  // Writes the Variant of a 24-byte value record (opcua_value::ValueRecord).
  // Returns false, writing nothing usable, for an unknown type code, a value
  // length that does not fit the type, a null value address, or "datetime"
  // text that is not ISO 8601.
  static bool encode_record(ByteWriter& w, const void* record, std::string* error);

  // Float as the shortest decimal that reads back to the same float, so 0.1f
  // appears as 0.1 and not as 0.10000000149011612.
  static double float_to_json_double(float value);
};
