#include "blocks/test/dump_string_block.h"

#include <cstdio>

#include "blocks/config_getters.h"
#include "zeb/log.h"

DumpStringBlock::DumpStringBlock(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config),
      to_log_(config_string(config, "output_method", "stdout") == "log") {
  add_port(&input_);
}

void DumpStringBlock::process(qor::Port* /*port*/) {
  if (stopping()) return;
  const std::string message = input_.receive();
  if (to_log_) {
    zeb::log_debug(logger(), "%s : %s", name().c_str(), message.c_str());
    stats().count_out();
    return;
  }
  // One write per line keeps lines of different blocks whole.
  const std::string line = name() + " : " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  stats().count_out();
}
