#pragma once

// The time-series transforms done the plain way on the JSON library's DOM:
// parse, build the record as a document, dump it. The point of comparison of
// the transform benchmark and the transform of the baseline relay; their
// output equals the blocks' byte for byte.
#include <cstdint>

#include <nlohmann/json.hpp>

namespace dom_timeseries {

using nlohmann::json;

inline const json& attributes() {
  static const json kAttributes = {{"source", "ZEB"}};
  return kAttributes;
}

// The nested walk on the library's DOM, building the record as a document.
inline void dom_walk(const json& node, json& body) {
  if (node.is_null() || (node.is_array() && node.empty())) return;
  for (const auto& member : node.items()) {
    const json& value = member.value();
    const auto has = [&](const char* key) { return value.is_object() && value.contains(key); };
    const auto nested = [&](const char* key) { return has(key) && value.at(key).is_object(); };
    if (!(has("timestamp") || has("type") || has("val")) || nested("timestamp") || nested("type") ||
        nested("val")) {
      dom_walk(value, body);
      continue;
    }
    const auto usable = [&](const char* key) { return has(key) && !value.at(key).is_null(); };
    if (!usable("timestamp") || !usable("type") || !usable("val")) continue;
    body.push_back({{"name", member.key()},
                    {"datapoints", {{value.at("timestamp"), value.at("val"), 3}}},
                    {"attributes", attributes()}});
  }
}

inline json dom_nested(const json& document) {
  json record = {{"messsageId", "weft-pipe"}, {"body", json::array()}};
  dom_walk(document, record["body"]);
  return record;
}

inline json dom_flat(const json& message) {
  const int64_t time = message.at("timestamp").get<int64_t>();
  json record = {{"messageId", "weft-pipe"}, {"body", json::array()}};
  for (const auto& member : message.at("data").items()) {
    if (!member.value().is_object() || !member.value().contains("val")) continue;
    record["body"].push_back({{"name", member.key()},
                              {"datapoints", {{time, member.value().at("val"), 3}}},
                              {"attributes", attributes()}});
  }
  return record;
}

}  // namespace dom_timeseries
