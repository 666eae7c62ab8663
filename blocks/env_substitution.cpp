#include "blocks/env_substitution.h"

#include <cstdlib>

using nlohmann::json;

std::string resolve_value(const std::string& text) {
  if (text.empty() || text[0] != '$') return text;
  if (text.size() > 1 && text[1] == '$') return text.substr(1);
  const char* value = std::getenv(text.c_str() + 1);
  return value ? value : "";
}

json substitute_environment(const json& document) {
  switch (document.type()) {
    case json::value_t::string:
      return resolve_value(document.get_ref<const std::string&>());
    case json::value_t::object: {
      if (document.empty()) return nullptr;
      json result = json::object();
      for (auto it = document.begin(); it != document.end(); ++it) {
        result[it.key()] = substitute_environment(it.value());
      }
      return result;
    }
    case json::value_t::array: {
      if (document.empty()) return nullptr;
      json result = json::array();
      for (const json& element : document) result.push_back(substitute_environment(element));
      return result;
    }
    default:
      return document;
  }
}
