#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "blocks/config_block.h"
#include "blocks/opcua/opcua_plane.h"
#include "framework/source_port.h"

// "OPCUAPOLLFLAT": reads every configured OPC UA node once per "interval"
// milliseconds and sends {"data": {alias: value, ...}, "timestamp": ms} on
// "output" ("data" is null when no read succeeded in the cycle).
//
// Thread rules: `run` (the block's thread) does all reads and writes the
// last-read flags; `is_healthy` reads them from the health-check thread.
class OpcuaPollBlock : public ConfigBlock {
 public:
  OpcuaPollBlock(const std::string& name, const nlohmann::json& config);
  ~OpcuaPollBlock() override;

  void run() override;
  bool is_healthy() override;
  std::string unhealthy_reason() const override;

 private:
  struct Node {
    std::string alias;
    std::atomic<bool> last_read_ok{true};
  };

  // One cycle's message.
  std::string poll_once();

  std::map<std::string, Node> nodes_;  // structure fixed after construction
  OpcuaPlane plane_;
  int32_t interval_;
  qor::SourcePort<std::string> output_{"output"};
};
