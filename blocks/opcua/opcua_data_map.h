#pragma once

#include <map>
#include <string>

#include <nlohmann/json.hpp>

// The node list of the OPC UA subscribe and poll blocks: "data_map", an array
// of {"id": node reference, "alias": name in the output}. Returns node
// reference -> alias in byte order; a repeated "id" keeps the later alias.
// Throws std::invalid_argument for a missing or malformed list.
std::map<std::string, std::string> parse_opcua_data_map(const nlohmann::json& config);
