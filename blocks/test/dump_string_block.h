#pragma once

#include <string>

#include "blocks/config_block.h"
#include "framework/sink_port.h"

// "DUMPSTRINGBLOCK": prints every message of "input" as "<name> : <message>",
// on standard output or, with "output_method" "log", as a debug line of its log.
class DumpStringBlock : public ConfigBlock {
 public:
  DumpStringBlock(const std::string& name, const nlohmann::json& config);

  void process(qor::Port* port) override;

 private:
  qor::SinkPort<std::string> input_{"input"};
  bool to_log_;
};
