#pragma once

#include <cstdint>
#include <string>

// Standard base64 (RFC 4648, with padding) for opaque NodeIds and ByteStrings.
//
// Thread rules: pure functions.
class Base64 {
 public:
  static std::string encode(const std::string& bytes);
  // False for text that is not canonical padded base64.
  static bool decode(const std::string& text, std::string* bytes);
};
