#include "blocks/splitter/basic_splitter_block.h"

#include "blocks/config_getters.h"
#include "zeb/log.h"

BasicSplitterBlock::BasicSplitterBlock(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config) {
  add_port(&input_);
  const int32_t count = config_int(config, "output_count");
  for (int32_t i = 1; i <= count; ++i) {
    auto port = std::make_unique<qor::SourcePort<std::string>>("output" + std::to_string(i));
    zeb::log_info(logger(), "Adding port: %s", port->name().c_str());
    add_port(port.get());
    outputs_.push_back(std::move(port));
  }
}

void BasicSplitterBlock::process(qor::Port* /*port*/) {
  const std::string message = input_.receive();
  for (auto& output : outputs_) output->try_send(message);
}
