#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "blocks/config_block.h"
#include "blocks/timeseries/timeseries_writer.h"
#include "blocks/util/json_tree.h"
#include "framework/sink_port.h"
#include "framework/source_port.h"

// "FLATTOTIMESERIES": turns a flat message {"data": {name: {"val": ...}, ...},
// "timestamp": milliseconds} into one time-series record with one series per
// member of "data", all stamped with the message's time (the current time when
// the message has none, with a warning).
//
// A message without an object "data" is dropped without a word: a poll that
// read no node at all sends "data" null, which is no fault. A message that is
// not JSON, or whose "timestamp" is not a number that fits a signed 64-bit
// integer, is dropped with one error line on the block's log: stamping its
// values with some other time would misplace them in their series.
//
// Threads: constructed on the main thread; `process` and `transform` run on the
// block's own thread only, which alone uses `tree_`, `time_text_`, `pretty_`
// and `record_capacity_`. The writer is immutable.
class FlatToTimeseries : public ConfigBlock {
 public:
  FlatToTimeseries(const std::string& name, const nlohmann::json& config);

  // Takes one message from "input" and sends its record on "output".
  void process(qor::Port* port) override;

  // Writes the record of one message into record. False when the message is
  // dropped.
  bool transform(std::string_view message, std::string& record);

 private:
  // The time of the message in milliseconds; false (with reason set) when the
  // "timestamp" member cannot be one.
  bool message_time(JsonTree::Id timestamp, int64_t& time, std::string& reason) const;
  void drop(const std::string& reason) const;

  qor::SinkPort<std::string> input_{"input"};
  qor::SourcePort<std::string> output_{"output"};
  const TimeseriesWriter writer_;
  JsonTree tree_;
  std::string time_text_;
  std::string pretty_;
  size_t record_capacity_ = 0;  // size of the last record, to reserve the next
};
