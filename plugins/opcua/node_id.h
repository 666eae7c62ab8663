#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "byte_reader.h"
#include "byte_writer.h"

// An OPC UA NodeId: namespace index and a numeric, string, Guid or opaque
// identifier, with its text form ("ns=2;s=Line1.Temp", "i=2258",
// "ns=1;g=...", "ns=1;b=BASE64") and its binary encoding (OPC 10000-6 5.2.2.9).
//
// Thread rules: a value type; no shared state.
class NodeId {
 public:
  enum class Kind { kNumeric, kString, kGuid, kOpaque };

  NodeId() = default;
  static NodeId numeric(uint16_t ns, uint32_t id);

  // Strict parse of the text form; false (and *out untouched) when malformed.
  static bool parse(const std::string& text, NodeId* out);
  std::string to_text() const;

  // Smallest binary form.
  void encode(ByteWriter& w) const;
  // Any binary form. For an ExpandedNodeId (expanded true) the namespace URI
  // and server index are read and, when present, kept in the text form.
  static NodeId decode(ByteReader& r, bool expanded = false);

  static bool parse_guid(const std::string& text, std::array<uint8_t, 16>* out);
  static std::string format_guid(const std::array<uint8_t, 16>& guid);
  static std::array<uint8_t, 16> read_guid(ByteReader& r);

  Kind kind() const { return kind_; }
  uint16_t ns() const { return ns_; }
  uint32_t numeric_id() const { return numeric_; }
  bool is_null() const { return kind_ == Kind::kNumeric && ns_ == 0 && numeric_ == 0; }
  bool operator==(const NodeId& o) const;
  bool operator!=(const NodeId& o) const { return !(*this == o); }

 private:
  Kind kind_ = Kind::kNumeric;
  uint16_t ns_ = 0;
  uint32_t numeric_ = 0;
  std::string text_;  // string identifier or opaque bytes
  std::array<uint8_t, 16> guid_{};
  std::string namespace_uri_;  // expanded form only
  uint32_t server_index_ = 0;  // expanded form only
};
