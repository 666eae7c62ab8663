#include "blocks/opcua/opcua_data_map.h"

#include <stdexcept>

std::map<std::string, std::string> parse_opcua_data_map(const nlohmann::json& config) {
  auto list = config.find("data_map");
  if (list == config.end()) {
    throw std::invalid_argument("Unable to find: data_map in: " + config.dump());
  }
  std::map<std::string, std::string> nodes;
  // An empty array arrives as null after environment substitution.
  if (list->is_null()) return nodes;
  if (!list->is_array()) throw std::invalid_argument("data_map must be of type array");
  for (const nlohmann::json& element : *list) {
    if (!element.is_object()) {
      throw std::invalid_argument("Elements of data_map must be objects, found: " + element.dump());
    }
    auto id = element.find("id");
    auto alias = element.find("alias");
    if ((id != element.end() && !id->is_string()) ||
        (alias != element.end() && !alias->is_string())) {
      throw std::invalid_argument("\"id\" and \"alias\" in data_map must be strings, found: " +
                                  element.dump());
    }
    const std::string ref = id == element.end() ? "" : id->get<std::string>();
    if (ref.empty()) {
      throw std::invalid_argument("Object " + element.dump() +
                                  " in \u2018data_map\u2019 field of config must contain an 'id' "
                                  "field");
    }
    nodes[ref] = alias == element.end() ? ref : alias->get<std::string>();
  }
  return nodes;
}
