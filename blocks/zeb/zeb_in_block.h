#pragma once

#include <string>

#include "blocks/zeb/zeb_block.h"
#include "framework/source_port.h"

// "ZEBIN": brings data from a plane into the chain on "output", either by
// subscribing to `node_ref` ("SUB") or by polling it with get every
// "interval" milliseconds ("GET").
//
// Thread rules: `run` runs on the block's thread; with SUB it ends once the
// subscription holds, and messages then arrive through `on_message` on the
// transport's network thread, which touches only the client and "output".
class ZebInBlock : public ZebBlock {
 public:
  ZebInBlock(const std::string& name, const nlohmann::json& config);
  ~ZebInBlock() override;

  void run() override;
  bool is_healthy() override;

 private:
  static void on_message(const char* plane, const char* topic, zeb::_Msg* msg, void* user);
  void subscribe();
  void poll();

  qor::SourcePort<std::string> output_{"output"};
  int32_t method_ = 0;
  std::string node_ref_;
  // With QoS 1 or 2 the broker already counts a message as delivered, so a
  // full output queue makes the callback wait instead of dropping.
  bool lossless_ = false;
};
