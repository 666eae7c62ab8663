#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Appends JSON scalars to a text exactly as the JSON library's compact dump
// writes them, so that records built directly as text match, byte for byte,
// the dump of the same document. Any thread; no shared state.

// A string in quotes: '"', '\\' and the control characters are escaped (the
// short forms \b \f \n \r \t, else \u00xx in lower-case hex); every other byte
// is copied, so valid UTF-8 stays as it is.
void append_json_string(std::string& out, std::string_view text);

void append_json_integer(std::string& out, int64_t value);
void append_json_unsigned(std::string& out, uint64_t value);

// The shortest text that reads back as the same double, with ".0" added to
// whole numbers and an exponent outside the library's fixed-notation range.
// A value that is not finite is written as null, as the library does.
void append_json_float(std::string& out, double value);
