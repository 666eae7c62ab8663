#pragma once

#include <atomic>
#include <map>
#include <string>

#include "blocks/config_block.h"
#include "blocks/opcua/opcua_plane.h"
#include "framework/source_port.h"

// "OPCUASUBFLAT": subscribes to a list of OPC UA nodes and sends every update
// as {"data": {alias: {"type": ..., "val": ...}}, "timestamp": ms} on "output".
// Nodes whose subscription failed are tried again once a second.
//
// Thread rules: `run` (the block's thread) writes the needs-subscribing flags;
// `on_update` runs on the transport's delivery thread and reads only the fixed
// node table; `is_healthy` reads the flags from the health-check thread.
class OpcuaSubscribeBlock : public ConfigBlock {
 public:
  OpcuaSubscribeBlock(const std::string& name, const nlohmann::json& config);
  ~OpcuaSubscribeBlock() override;

  void run() override;
  bool is_healthy() override;
  std::string unhealthy_reason() const override;
  // The figures of the connection to the server.
  void add_metrics(qor::MetricFamilies& metrics) const override;
  // Ends the feed of updates: the block's thread stops and the client goes.
  void stop_intake() override;

 private:
  struct Node {
    std::string alias;
    std::atomic<bool> needs_subscribing{true};
  };

  static void on_update(const char* plane, const char* topic, zeb::_Msg* msg, void* user);
  void deliver(const char* plane, const std::string& topic, const std::string& payload);
  static std::string payload_problem(const std::string& payload);

  std::map<std::string, Node> nodes_;  // structure fixed after construction
  OpcuaPlane plane_;
  qor::SourcePort<std::string> output_{"output"};
};
