#include "blocks/util/json_text.h"

#include <array>
#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

namespace {

// Bytes a string can hold unescaped: no control character, no '"', no '\\'.
constexpr bool plain(unsigned char c) {
  return c >= 0x20 && c != '"' && c != '\\';
}

template <typename Integer>
void append_integer(std::string& out, Integer value) {
  std::array<char, 24> buffer;
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t run = 0;  // start of the bytes not yet copied
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (plain(c)) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    switch (c) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '\b':
        out.push_back('b');
        break;
      case '\f':
        out.push_back('f');
        break;
      case '\n':
        out.push_back('n');
        break;
      case '\r':
        out.push_back('r');
        break;
      case '\t':
        out.push_back('t');
        break;
      default:
        out.append("u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
        break;
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

void append_json_integer(std::string& out, int64_t value) {
  append_integer(out, value);
}

void append_json_unsigned(std::string& out, uint64_t value) {
  append_integer(out, value);
}

void append_json_float(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  // The library's own shortest-round-trip formatter: a different algorithm
  // could pick other digits or another notation, and the records would no
  // longer equal the library's dump of the same document.
  std::array<char, 64> buffer;
  char* end = nlohmann::detail::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), end);
}
