#include "blocks/opcua/opcua_sink_flat.h"

#include <exception>
#include <map>
#include <stdexcept>

#include "blocks/opcua/opcua_value_encoder.h"
#include "blocks/zeb/zeb_block.h"
#include "zeb/log.h"
#include "zeb/opcua_value_record.h"
#include "zeb/status.h"
#include "zeb/transport.h"

namespace {

int32_t checked_type_code(const std::string& name) {
  const int32_t code = opcua_value::type_code(name);
  if (code < 0) throw std::invalid_argument("Invalid type for opcua_sink_flat: " + name);
  return code;
}

// The alias table from "data_map": {node reference: {"type", "aliases"}}.
template <typename Table>
Table parse_sink_data_map(const nlohmann::json& config) {
  auto map = config.find("data_map");
  if (map == config.end()) {
    throw std::invalid_argument("Unable to find: data_map in: " + config.dump());
  }
  Table table;
  if (map->is_null()) return table;  // an empty object after environment substitution
  if (!map->is_object()) throw std::invalid_argument("data_map must be of type object");
  for (auto node = map->begin(); node != map->end(); ++node) {
    const nlohmann::json& entry = node.value();
    if (!entry.is_object() || !entry.contains("type") || !entry["type"].is_string() ||
        !entry.contains("aliases") ||
        !(entry["aliases"].is_array() || entry["aliases"].is_null())) {
      throw std::invalid_argument("data_map entry " + node.key() +
                                  " must hold \"type\" (a string) and \"aliases\" (an array), "
                                  "found: " +
                                  entry.dump());
    }
    const int32_t code = checked_type_code(entry["type"].get<std::string>());
    if (entry["aliases"].is_null()) continue;
    for (const nlohmann::json& alias : entry["aliases"]) {
      if (!alias.is_string()) {
        throw std::invalid_argument("aliases of " + node.key() +
                                    " must be strings, found: " + alias.dump());
      }
      if (!table.emplace(alias.get<std::string>(), typename Table::mapped_type{code, node.key()})
               .second) {
        throw std::invalid_argument("Can't have duplicate aliases in data_map");
      }
    }
  }
  return table;
}

}  // namespace

OpcuaSinkFlat::OpcuaSinkFlat(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config),
      aliases_(parse_sink_data_map<std::unordered_map<std::string, Target>>(config)),
      plane_(name, log_name(), config) {
  if (add_port(&input_) != qor::SUCCESS) throw std::logic_error("input port not registered");
  for (const auto& [alias, target] : aliases_) {
    // Escaped, so a reference holding '+' or '(' still matches itself.
    plane_.add_rule(zeb::kMethodSet, ZebBlock::escape_pattern(target.node_ref), "");
  }
  plane_.connect(false);
}

OpcuaSinkFlat::~OpcuaSinkFlat() {
  join();
}

void OpcuaSinkFlat::process(qor::Port* /*port*/) {
  const std::string text = input_.receive();
  zeb::log_debug(logger(), "got data %s", text.c_str());

  std::map<std::string, Value> values;
  try {
    const nlohmann::json message = nlohmann::json::parse(text);
    const nlohmann::json& data = message.at("data");
    if (!data.is_object()) throw std::invalid_argument("\"data\" must be an object");
    for (auto it = data.begin(); it != data.end(); ++it) {
      const int32_t code = checked_type_code(it.value().at("type").get<std::string>());
      Value value{code, 0, {}};
      value.length = OpcuaValueEncoder::encode(code, it.value().at("val"), value.bytes);
      values.emplace(it.key(), std::move(value));
    }
  } catch (const std::exception& e) {
    zeb::log_error(logger(), "Couldn't parse %s: %s", text.c_str(), e.what());
    stats().count_drop(qor::DropReason::kBadInput);
    return;
  }
  zeb::log_debug(logger(), "Successfully parsed %s", text.c_str());

  bool all_written = true;
  for (const auto& [alias, value] : values) all_written = write(text, alias, value) && all_written;
  if (all_written) {
    stats().count_out();
  } else {
    stats().count_drop(qor::DropReason::kRefused);
  }
}

bool OpcuaSinkFlat::write(const std::string& text, const std::string& alias, const Value& value) {
  auto target = aliases_.find(alias);
  if (target == aliases_.end()) return true;
  if (target->second.type_code != value.type_code) {
    zeb::log_error(logger(), "Got a %s instead of expected type %s for alias %s",
                   opcua_value::type_name(value.type_code),
                   opcua_value::type_name(target->second.type_code), alias.c_str());
    return false;
  }
  opcua_value::ValueRecord record{value.type_code, 0, value.length, value.bytes.data()};
  int status = zeb::kInternalError;
  try {
    status = plane_.client().set(target->second.node_ref.c_str(), reinterpret_cast<char*>(&record),
                                 sizeof record);
  } catch (const std::exception& e) {
    zeb::log_error(logger(), "OPC-UA write of %s failed: %s", alias.c_str(), e.what());
  }
  if (status == zeb::kSuccess) {
    zeb::log_debug(logger(), "Sent data for alias %s in message %s", alias.c_str(), text.c_str());
    return true;
  }
  zeb::log_error(logger(), "Couldn't send data for alias %s in message %s: %s", alias.c_str(),
                 text.c_str(), zeb::status_to_str(status));
  return false;
}
