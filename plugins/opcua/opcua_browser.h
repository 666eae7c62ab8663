#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "node_id.h"

class OpcuaConnection;

// Walks a server's address space along hierarchical references from one node
// down to a depth and lists the variables it meets, for writing a data_map.
//
// Thread rules: one caller at a time; the connection does the waiting.
class OpcuaBrowser {
 public:
  struct Variable {
    std::string node_id;       // text form, as a data_map takes it
    std::string path;          // browse names from the start node, "/"-separated
    std::string data_type;     // a value-record type name, or the DataType's node id
    bool record_type = false;  // data_type is a value-record type name
    bool writable = false;     // the server lets this user write the value
    bool scalar = true;        // ValueRank -1: not an array
  };

  // Most nodes visited in one walk, so a huge or looping space ends.
  static constexpr size_t kMaxNodes = 100000;

  explicit OpcuaBrowser(OpcuaConnection* connection) : connection_(connection) {}

  // Status 200 and the variables under `start` (depth 1 = its children).
  int walk(const NodeId& start, int depth, std::vector<Variable>* out);

  // One line per variable: node id, path, type ("[]" after it for an array),
  // "writable" or "read-only", separated by tabs.
  static std::string table(const std::vector<Variable>& variables);
  // A data_map for "subflat" and "pollflat" ([{"id","alias"}]), or for
  // "sinkflat" ({id: {"type","aliases"}}, writable scalars of a record type).
  // The alias is the path with "/" turned into ".", without namespace prefixes.
  static nlohmann::json data_map(const std::vector<Variable>& variables, const std::string& kind);

 private:
  // Fills the type and access of the variables found.
  int describe(std::vector<Variable>* variables);

  OpcuaConnection* connection_;
};
