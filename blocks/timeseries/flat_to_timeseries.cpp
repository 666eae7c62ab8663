#include "blocks/timeseries/flat_to_timeseries.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "blocks/util/clock.h"
#include "blocks/util/json_text.h"
#include "zeb/log.h"

namespace {

constexpr unsigned kWarningIndent = 4;
constexpr char kNoTimestamp[] = "Unable to find timestamp";

}  // namespace

FlatToTimeseries::FlatToTimeseries(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config),
      writer_("messageId", TimeseriesWriter::configured_attributes(config)) {
  add_port(&input_);
  add_port(&output_);
}

void FlatToTimeseries::process(qor::Port* /*port*/) {
  if (stopping()) return;
  const std::string message = input_.receive();
  std::string record;
  record.reserve(record_capacity_);
  if (!transform(message, record)) return;
  record_capacity_ = record.size();
  output_.send(std::move(record));
}

bool FlatToTimeseries::transform(std::string_view message, std::string& record) {
  if (!tree_.parse(message)) {
    drop("not valid JSON: " + tree_.error());
    return false;
  }
  const JsonTree::Id data = tree_.find(tree_.root(), "data");
  if (data == JsonTree::kNone || !tree_.is_object(data)) return false;

  int64_t time = 0;
  const JsonTree::Id timestamp = tree_.find(tree_.root(), "timestamp");
  if (timestamp == JsonTree::kNone) {
    zeb::log_warn(logger(), "%s", kNoTimestamp);
    std::fputs(kNoTimestamp, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    time = now_milliseconds();
  } else {
    std::string reason;
    if (!message_time(timestamp, time, reason)) {
      drop(reason);
      return false;
    }
  }
  time_text_.clear();
  append_json_integer(time_text_, time);

  writer_.begin(record);
  for (size_t i = 0; i < tree_.size(data); ++i) {
    const JsonTree::Child member = tree_.child(data, i);
    if (!tree_.is_object(member.value)) continue;
    const JsonTree::Id val = tree_.find(member.value, "val");
    if (val == JsonTree::kNone) {
      pretty_.clear();
      tree_.write_pretty(member.value, pretty_, kWarningIndent);
      zeb::log_warn(logger(),
                    "WARN: Unable to parse member of flat json object, val is not present %s",
                    pretty_.c_str());
      continue;
    }
    writer_.begin_entry(record);
    record.append(time_text_);
    writer_.next_value(record);
    tree_.write(val, record);
    writer_.end_entry(record, member.key);
  }
  writer_.end(record);
  return true;
}

bool FlatToTimeseries::message_time(JsonTree::Id timestamp, int64_t& time,
                                    std::string& reason) const {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  switch (tree_.kind(timestamp)) {
    case JsonTree::Kind::kInteger:
      time = tree_.integer(timestamp);
      return true;
    case JsonTree::Kind::kUnsigned:
      if (tree_.unsigned_integer(timestamp) <=
          static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        time = static_cast<int64_t>(tree_.unsigned_integer(timestamp));
        return true;
      }
      break;
    case JsonTree::Kind::kFloat: {
      const double whole = std::trunc(tree_.floating(timestamp));
      if (whole >= -kLimit && whole < kLimit) {
        time = static_cast<int64_t>(whole);
        return true;
      }
      break;
    }
    default:
      reason = std::string("\"timestamp\" is ") + JsonTree::kind_phrase(tree_.kind(timestamp)) +
               ", not a number";
      return false;
  }
  reason = "\"timestamp\" ";
  tree_.write(timestamp, reason);
  reason += " does not fit a signed 64-bit integer";
  return false;
}

void FlatToTimeseries::drop(const std::string& reason) const {
  drop_bad_input(reason);
}
