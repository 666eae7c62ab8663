#pragma once

#include <cstdint>
#include <string>

// The records of the crash tests: the record number in 8 bytes, then a filler
// whose length and content follow from the number, so a reader can tell a
// whole record from one that is cut, shifted or mixed with another.
struct CrashRecord {
  static std::string payload(uint64_t n) {
    std::string text(8 + (n * 7919) % 600, '\0');
    for (int i = 0; i < 8; ++i) text[i] = static_cast<char>(n >> (8 * i) & 0xff);
    for (size_t i = 8; i < text.size(); ++i) text[i] = static_cast<char>((n * 31 + i * 7) & 0xff);
    return text;
  }

  // The number of a record whose payload is exactly what `payload` makes.
  static bool parse(const std::string& text, uint64_t* n) {
    if (text.size() < 8) return false;
    uint64_t number = 0;
    for (int i = 7; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(text[i]);
    *n = number;
    return text == payload(number);
  }
};
