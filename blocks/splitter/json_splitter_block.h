#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "blocks/config_block.h"
#include "blocks/util/json_tree.h"
#include "framework/sink_port.h"
#include "framework/source_port.h"

// "JSONSPLIT": parses every message of "input", an object whose "data" member is
// an object, and offers each output a copy whose "data" keeps only the members
// listed for that output in "ports"; every other member is carried along. An
// output whose copy would have no "data" member left gets nothing. It never
// waits: an output whose consumer is full, or that is not linked, loses its copy.
//
// A message without "data", or with "data" null, yields nothing. A message that
// is not JSON, not an object, or whose "data" is neither an object nor null is
// dropped with one error line on the block's log.
//
// Threads: constructed on the main thread; `process` runs on the block's own
// thread, which alone uses `tree_`. Outputs and routes are fixed at construction.
class JsonSplitterBlock : public ConfigBlock {
 public:
  // Throws std::invalid_argument for a missing "ports", a "ports" that is not
  // an object, a member of it that is not an array of strings, or an output
  // named "input".
  JsonSplitterBlock(const std::string& name, const nlohmann::json& config);

  void process(qor::Port* port) override;

  // Offers the copies of one message to the outputs.
  void route(std::string_view message);

 private:
  // Writes the copy of the parsed message for one output; false when its
  // "data" would be empty.
  bool write_copy(JsonTree::Id data, const std::vector<std::string>& names,
                  std::string& copy) const;

  qor::SinkPort<std::string> input_{"input"};
  // In ascending byte order of the port names; routes_ lists, per port name,
  // the names of the "data" members it receives (sorted, for look-up).
  std::vector<std::unique_ptr<qor::SourcePort<std::string>>> outputs_;
  std::map<std::string, std::vector<std::string>> routes_;
  JsonTree tree_;
};
