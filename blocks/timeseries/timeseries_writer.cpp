#include "blocks/timeseries/timeseries_writer.h"

#include "blocks/util/json_text.h"

namespace {
constexpr std::string_view kHead = "{\"body\":[";
}

TimeseriesWriter::TimeseriesWriter(std::string_view id_key, const nlohmann::json& attributes)
    : entry_head_("{\"attributes\":" + attributes.dump() + ",\"datapoints\":[[") {
  tail_ = "],";
  append_json_string(tail_, id_key);
  tail_ += ":\"weft-pipe\"}";
}

nlohmann::json TimeseriesWriter::configured_attributes(const nlohmann::json& config) {
  if (config.is_object()) {
    const auto it = config.find("attributes");
    if (it != config.end()) return *it;
  }
  return nlohmann::json{{"source", "ZEB"}};
}

void TimeseriesWriter::begin(std::string& out) const {
  out.assign(kHead);
}

void TimeseriesWriter::begin_entry(std::string& out) const {
  // Right after begin the text ends in '['; after an entry, in '}'.
  if (out.back() != '[') out.push_back(',');
  out.append(entry_head_);
}

void TimeseriesWriter::end_entry(std::string& out, std::string_view name) const {
  out.append(",3]],\"name\":");
  append_json_string(out, name);
  out.push_back('}');
}

void TimeseriesWriter::end(std::string& out) const {
  out.append(tail_);
}
