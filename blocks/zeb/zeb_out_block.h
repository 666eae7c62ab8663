#pragma once

#include <string>

#include "blocks/zeb/zeb_block.h"
#include "framework/sink_port.h"

// "ZEBOUT": publishes ("PUB") or sets ("SET") every text of "input" at
// `node_ref`. A failed call is logged with its status; the text is not retried.
//
// Thread rules: `process` runs on the block's thread, `is_healthy` on the
// health-check thread.
class ZebOutBlock : public ZebBlock {
 public:
  ZebOutBlock(const std::string& name, const nlohmann::json& config);
  ~ZebOutBlock() override;

  void process(qor::Port* port) override;
  bool is_healthy() override;
  void add_metrics(qor::MetricFamilies& metrics) const override;

 protected:
  const std::string& node_ref() const override { return node_ref_; }
  // Hands one text to the plane; the library's status, or -11 when the call
  // threw.
  int deliver(std::string& text);
  int deliver(char* data, size_t length);

  qor::SinkPort<std::string> input_{"input"};
  int32_t method_ = 0;
  std::string node_ref_;
};
