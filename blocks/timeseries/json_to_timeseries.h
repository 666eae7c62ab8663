#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "blocks/config_block.h"
#include "blocks/timeseries/timeseries_writer.h"
#include "blocks/util/json_tree.h"
#include "framework/sink_port.h"
#include "framework/source_port.h"

// "JSONTOTIMESERIES": turns a document whose measurements are leaves of nested
// objects, each leaf an object with "timestamp", "type" and "val", into one
// time-series record with one series per leaf, named after the leaf's key.
//
// Every member is visited depth first in ascending key order. A leaf with all
// three members present and not null yields an entry; one missing any of them
// yields nothing; one where any of them is an object is walked as the next
// level instead. A message that is not JSON, or that makes the walk enter a
// string, number, boolean or non-empty array, is dropped whole with one error
// line on the block's log: a record missing some of its series would look
// complete to whoever reads it.
//
// Threads: constructed on the main thread; `process` and `transform` run on the
// block's own thread only, which alone uses `tree_`, `stack_` and
// `record_capacity_`. The writer is immutable.
class JsonToTimeseries : public ConfigBlock {
 public:
  JsonToTimeseries(const std::string& name, const nlohmann::json& config);

  // Takes one message from "input" and sends its record on "output".
  void process(qor::Port* port) override;

  // Writes the record of one message into record. False when the message is
  // dropped; the reason is then on the block's log.
  bool transform(std::string_view message, std::string& record);

 private:
  struct Frame {
    JsonTree::Id node;
    size_t next;  // index of the next member to visit
  };

  // Takes the walk into node; false (with reason set) when node has no members
  // to walk: a scalar or a non-empty array.
  bool enter(JsonTree::Id node, std::string_view key, std::string& reason);
  bool walk(std::string& record, std::string& reason);

  qor::SinkPort<std::string> input_{"input"};
  qor::SourcePort<std::string> output_{"output"};
  const TimeseriesWriter writer_;
  JsonTree tree_;
  std::vector<Frame> stack_;
  size_t record_capacity_ = 0;  // size of the last record, to reserve the next
};
