#pragma once

#include <string>
#include <unordered_map>

#include "blocks/config_block.h"
#include "blocks/opcua/opcua_plane.h"
#include "framework/sink_port.h"

// "OPCUASINKFLAT": takes flat messages {"data": {alias: {"type", "val"}}} from
// "input" and writes each configured alias's value to its OPC UA node, as a
// 24-byte value record through the client's set. A message that does not
// decode as a whole is dropped whole.
//
// Thread rules: only the block's thread runs `process`; the alias table is
// fixed after construction.
class OpcuaSinkFlat : public ConfigBlock {
 public:
  OpcuaSinkFlat(const std::string& name, const nlohmann::json& config);
  ~OpcuaSinkFlat() override;

  void process(qor::Port* port) override;

 private:
  struct Target {
    int32_t type_code;
    std::string node_ref;
  };
  struct Value {
    int32_t type_code;
    uint64_t length;
    std::string bytes;
  };

  // False when the value was not written (wrong type, or the server refused it).
  bool write(const std::string& text, const std::string& alias, const Value& value);

  qor::SinkPort<std::string> input_{"input"};
  std::unordered_map<std::string, Target> aliases_;
  OpcuaPlane plane_;
};
