#include "blocks/timeseries/json_to_timeseries.h"

#include "blocks/util/json_text.h"
#include "zeb/log.h"

JsonToTimeseries::JsonToTimeseries(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config),
      writer_("messsageId", TimeseriesWriter::configured_attributes(config)) {
  add_port(&input_);
  add_port(&output_);
}

void JsonToTimeseries::process(qor::Port* /*port*/) {
  if (stopping()) return;
  const std::string message = input_.receive();
  std::string record;
  record.reserve(record_capacity_);
  if (!transform(message, record)) return;
  record_capacity_ = record.size();
  output_.send(std::move(record));
}

bool JsonToTimeseries::transform(std::string_view message, std::string& record) {
  std::string reason;
  if (!tree_.parse(message)) {
    reason = "not valid JSON: " + tree_.error();
  } else if (walk(record, reason)) {
    return true;
  }
  drop_bad_input(reason);
  return false;
}

bool JsonToTimeseries::enter(JsonTree::Id node, std::string_view key, std::string& reason) {
  const JsonTree::Kind kind = tree_.kind(node);
  if (kind == JsonTree::Kind::kNull) return true;  // nothing to walk
  if (kind == JsonTree::Kind::kObject) {
    stack_.push_back(Frame{node, 0});
    return true;
  }
  if (kind == JsonTree::Kind::kArray && tree_.size(node) == 0) return true;
  const std::string what =
      kind == JsonTree::Kind::kArray ? "a non-empty array" : JsonTree::kind_phrase(kind);
  if (node == tree_.root()) {
    reason = "the message is " + what + ", not an object";
  } else {
    reason = "member ";
    append_json_string(reason, key);
    reason += " is " + what + ", not an object";
  }
  return false;
}

bool JsonToTimeseries::walk(std::string& record, std::string& reason) {
  writer_.begin(record);
  stack_.clear();
  if (!enter(tree_.root(), {}, reason)) return false;
  while (!stack_.empty()) {
    Frame& frame = stack_.back();
    if (frame.next == tree_.size(frame.node)) {
      stack_.pop_back();
      continue;
    }
    const JsonTree::Child member = tree_.child(frame.node, frame.next++);
    const JsonTree::Id value = member.value;
    const JsonTree::Id timestamp = tree_.find(value, "timestamp");
    const JsonTree::Id type = tree_.find(value, "type");
    const JsonTree::Id val = tree_.find(value, "val");
    const auto nested = [this](JsonTree::Id node) {
      return node != JsonTree::kNone && tree_.is_object(node);
    };
    const bool leaf =
        timestamp != JsonTree::kNone || type != JsonTree::kNone || val != JsonTree::kNone;
    if (!leaf || nested(timestamp) || nested(type) || nested(val)) {
      if (!enter(value, member.key, reason)) return false;
      continue;
    }
    const auto usable = [this](JsonTree::Id node) {
      return node != JsonTree::kNone && tree_.kind(node) != JsonTree::Kind::kNull;
    };
    if (!usable(timestamp) || !usable(type) || !usable(val)) continue;
    writer_.begin_entry(record);
    tree_.write(timestamp, record);
    writer_.next_value(record);
    tree_.write(val, record);
    writer_.end_entry(record, member.key);
  }
  writer_.end(record);
  return true;
}
