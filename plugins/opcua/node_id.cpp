#include "node_id.h"

#include <cstdio>

#include "base64.h"

namespace {

// Decimal digits only, no sign, no leading blanks; false on overflow of max.
bool parse_decimal(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

NodeId NodeId::numeric(uint16_t ns, uint32_t id) {
  NodeId n;
  n.ns_ = ns;
  n.numeric_ = id;
  return n;
}

bool NodeId::parse_guid(const std::string& text, std::array<uint8_t, 16>* out) {
  // 8-4-4-4-12 hex digits.
  if (text.size() != 36) return false;
  std::string hex;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (text[i] == '-')) return false;
    if (!dash) {
      if (hex_value(text[i]) < 0) return false;
      hex += text[i];
    }
  }
  uint8_t raw[16];
  for (int i = 0; i < 16; ++i) {
    raw[i] = static_cast<uint8_t>(hex_value(hex[2 * i]) * 16 + hex_value(hex[2 * i + 1]));
  }
  // Data1, Data2 and Data3 are little-endian on the wire; Data4 as written.
  const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) (*out)[i] = raw[order[i]];
  return true;
}

std::string NodeId::format_guid(const std::array<uint8_t, 16>& g) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14],
                g[15]);
  return text;
}

std::array<uint8_t, 16> NodeId::read_guid(ByteReader& r) {
  std::array<uint8_t, 16> guid{};
  const uint8_t* p = r.take(16);
  for (int i = 0; i < 16; ++i) guid[i] = p[i];
  return guid;
}

bool NodeId::parse(const std::string& text, NodeId* out) {
  NodeId n;
  size_t at = 0;
  if (text.compare(0, 3, "ns=") == 0) {
    const size_t semi = text.find(';', 3);
    if (semi == std::string::npos) return false;
    uint64_t ns = 0;
    if (!parse_decimal(text.substr(3, semi - 3), 65535, &ns)) return false;
    n.ns_ = static_cast<uint16_t>(ns);
    at = semi + 1;
  }
  if (text.size() < at + 2 || text[at + 1] != '=') return false;
  const char kind = text[at];
  const std::string rest = text.substr(at + 2);
  switch (kind) {
    case 'i': {
      uint64_t id = 0;
      if (!parse_decimal(rest, 0xFFFFFFFFu, &id)) return false;
      n.kind_ = Kind::kNumeric;
      n.numeric_ = static_cast<uint32_t>(id);
      break;
    }
    case 's':
      n.kind_ = Kind::kString;
      n.text_ = rest;
      break;
    case 'g':
      n.kind_ = Kind::kGuid;
      if (!parse_guid(rest, &n.guid_)) return false;
      break;
    case 'b':
      n.kind_ = Kind::kOpaque;
      if (!Base64::decode(rest, &n.text_)) return false;
      break;
    default:
      return false;
  }
  *out = std::move(n);
  return true;
}

std::string NodeId::to_text() const {
  std::string text;
  if (!namespace_uri_.empty()) {
    text = "nsu=" + namespace_uri_ + ";";
  } else if (ns_ != 0) {
    text = "ns=" + std::to_string(ns_) + ";";
  }
  switch (kind_) {
    case Kind::kNumeric:
      text += "i=" + std::to_string(numeric_);
      break;
    case Kind::kString:
      text += "s=" + text_;
      break;
    case Kind::kGuid:
      text += "g=" + format_guid(guid_);
      break;
    case Kind::kOpaque:
      text += "b=" + Base64::encode(text_);
      break;
  }
  if (server_index_ != 0) text = "svr=" + std::to_string(server_index_) + ";" + text;
  return text;
}

void NodeId::encode(ByteWriter& w) const {
  switch (kind_) {
    case Kind::kNumeric:
      if (ns_ == 0 && numeric_ <= 0xFF) {
        w.u8(0x00);
        w.u8(static_cast<uint8_t>(numeric_));
      } else if (ns_ <= 0xFF && numeric_ <= 0xFFFF) {
        w.u8(0x01);
        w.u8(static_cast<uint8_t>(ns_));
        w.u16(static_cast<uint16_t>(numeric_));
      } else {
        w.u8(0x02);
        w.u16(ns_);
        w.u32(numeric_);
      }
      break;
    case Kind::kString:
      w.u8(0x03);
      w.u16(ns_);
      w.string(text_);
      break;
    case Kind::kGuid:
      w.u8(0x04);
      w.u16(ns_);
      w.raw(guid_.data(), guid_.size());
      break;
    case Kind::kOpaque:
      w.u8(0x05);
      w.u16(ns_);
      w.string(text_);
      break;
  }
}

NodeId NodeId::decode(ByteReader& r, bool expanded) {
  const uint8_t encoding = r.u8();
  const uint8_t flags = encoding & 0xC0;
  if (flags != 0 && !expanded) throw DecodeError("NodeId with expanded flags");
  NodeId n;
  switch (encoding & 0x3F) {
    case 0x00:
      n.numeric_ = r.u8();
      break;
    case 0x01:
      n.ns_ = r.u8();
      n.numeric_ = r.u16();
      break;
    case 0x02:
      n.ns_ = r.u16();
      n.numeric_ = r.u32();
      break;
    case 0x03:
      n.kind_ = Kind::kString;
      n.ns_ = r.u16();
      n.text_ = r.string();
      break;
    case 0x04:
      n.kind_ = Kind::kGuid;
      n.ns_ = r.u16();
      n.guid_ = read_guid(r);
      break;
    case 0x05:
      n.kind_ = Kind::kOpaque;
      n.ns_ = r.u16();
      n.text_ = r.string();
      break;
    default:
      throw DecodeError("unknown NodeId encoding");
  }
  if (flags & 0x80) n.namespace_uri_ = r.string();
  if (flags & 0x40) n.server_index_ = r.u32();
  return n;
}

bool NodeId::operator==(const NodeId& o) const {
  return kind_ == o.kind_ && ns_ == o.ns_ && numeric_ == o.numeric_ && text_ == o.text_ &&
         guid_ == o.guid_ && namespace_uri_ == o.namespace_uri_ && server_index_ == o.server_index_;
}
