#pragma once

#include <string>

#include "blocks/zeb/drop_counter.h"
#include "blocks/zeb/zeb_block.h"
#include "framework/source_port.h"

// "ZEBIN": brings data from a plane into the chain on "output", either by
// subscribing to `node_ref` ("SUB") or by polling it with get every
// "interval" milliseconds ("GET").
//
// A received message waits for room in the next block ("overflow" "block",
// the default): none that reached the program is dropped, and the transport
// holds back further messages meanwhile. With "overflow" "drop" a message that
// finds no room is dropped, counted and reported (at most one line per 10 s).
//
// Thread rules: `run` runs on the block's thread; with SUB it ends once the
// subscription holds, and messages then arrive through `on_message` on the
// transport's network thread, which touches only the client, "output" and
// `drops_`.
class ZebInBlock : public ZebBlock {
 public:
  enum class Overflow { kBlock, kDrop };

  ZebInBlock(const std::string& name, const nlohmann::json& config);
  ~ZebInBlock() override;

  void run() override;
  bool is_healthy() override;
  // Ready once the plane's connection has been up.
  bool is_ready() override;
  void add_metrics(qor::MetricFamilies& metrics) const override;
  // Ends the subscription's feed: the block's thread and the client go, so
  // the transport delivers nothing more (a message being handed over still
  // reaches "output").
  void stop_intake() override;

  // The "overflow" key; throws std::invalid_argument for any other value.
  static Overflow parse_overflow(const std::string& name, const nlohmann::json& config);
  Overflow overflow() const { return overflow_; }
  uint64_t dropped() { return drops_.total(); }

 protected:
  const std::string& node_ref() const override { return node_ref_; }
  // Hands one received text to "output" as "overflow" says. Any thread.
  void deliver(std::string text);

 private:
  static void on_message(const char* plane, const char* topic, zeb::_Msg* msg, void* user);
  void subscribe();
  void poll();
  void report_drops(uint64_t count);

  qor::SourcePort<std::string> output_{"output"};
  int32_t method_ = 0;
  std::string node_ref_;
  Overflow overflow_ = Overflow::kBlock;
  DropCounter drops_{std::chrono::seconds(10)};
};
