#pragma once

#include <memory>
#include <string>
#include <vector>

#include "blocks/config_block.h"
#include "framework/sink_port.h"
#include "framework/source_port.h"

// "SPLITTER": offers every message of "input", unchanged, to each of its
// outputs output1 ... output<"output_count">, in that order. It never waits: an
// output whose consumer is full, or that is not linked, loses its copy.
//
// Threads: constructed on the main thread; `process` runs on the block's own
// thread. The outputs are fixed at construction.
class BasicSplitterBlock : public ConfigBlock {
 public:
  // Throws std::invalid_argument when "output_count" is missing or not a number.
  BasicSplitterBlock(const std::string& name, const nlohmann::json& config);

  void process(qor::Port* port) override;

 private:
  qor::SinkPort<std::string> input_{"input"};
  std::vector<std::unique_ptr<qor::SourcePort<std::string>>> outputs_;
};
