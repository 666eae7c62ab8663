#include "blocks/env_substitution.h"

#include <cstdlib>

using nlohmann::json;

std::string resolve_value(const std::string& text) {
  if (text.empty() || text[0] != '$') return text;
  if (text.size() > 1 && text[1] == '$') return text.substr(1);
  const char* value = std::getenv(text.c_str() + 1);
  return value ? value : "";
}

// In place: a copy of a configuration with a large data map would double what
// start-up needs at its peak.
void substitute_environment(json& document) {
  switch (document.type()) {
    case json::value_t::string: {
      std::string& text = document.get_ref<std::string&>();
      if (!text.empty() && text[0] == '$') text = resolve_value(text);
      return;
    }
    case json::value_t::object:
    case json::value_t::array:
      if (document.empty()) {
        document = nullptr;
        return;
      }
      for (json& member : document) substitute_environment(member);
      return;
    default:
      return;
  }
}
