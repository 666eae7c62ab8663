#pragma once

#include <cstdint>
#include <string>

#include "blocks/config_block.h"
#include "framework/source_port.h"

// "REPSTR": sends a fixed text on "output" at a fixed pace, optionally with a
// running counter. Waits in the blocking send while its consumer is full, so a
// delay of 0 runs as fast as the consumer takes messages.
class RepeatingStringBlock : public ConfigBlock {
 public:
  RepeatingStringBlock(const std::string& name, const nlohmann::json& config);

  void run() override;

 private:
  qor::SourcePort<std::string> output_{"output"};
  int32_t delay_;
  std::string test_string_;
  bool append_counter_;
  int32_t counter_ = 0;  // block thread only
};
