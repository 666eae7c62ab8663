#pragma once

#include <string>

// ASCII case folding for configuration words (block types, methods, level
// names, units), which are compared case-insensitively.
std::string to_upper(std::string text);
std::string to_lower(std::string text);
