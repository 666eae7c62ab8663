#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Writes the time-series record that both time-series blocks send, straight
// into its compact text with the keys of every object in ascending byte order:
//
//   {"body":[<entry>,...],"<id key>":"weft-pipe"}
//   <entry> = {"attributes":<attributes>,"datapoints":[[<time>,<value>,3]],"name":<name>}
//
// The attributes are serialised once, at construction; each entry copies that
// text. A record is written in this order: begin, then per entry begin_entry,
// the time, next_value, the value, end_entry; finally end.
//
// Immutable after construction, so any thread may use it.
class TimeseriesWriter {
 public:
  // Throws the JSON library's type error for attributes holding text that is
  // not UTF-8 (a configuration value taken from the environment can).
  TimeseriesWriter(std::string_view id_key, const nlohmann::json& attributes);

  // The block's "attributes": the configured value, whatever its type, or
  // {"source":"ZEB"} when the configuration has none.
  static nlohmann::json configured_attributes(const nlohmann::json& config);

  // Replaces out by the start of a record.
  void begin(std::string& out) const;
  void begin_entry(std::string& out) const;
  void next_value(std::string& out) const { out.push_back(','); }
  void end_entry(std::string& out, std::string_view name) const;
  void end(std::string& out) const;

 private:
  std::string entry_head_;  // {"attributes":<attributes>,"datapoints":[[
  std::string tail_;        // ],"<id key>":"weft-pipe"}
};
