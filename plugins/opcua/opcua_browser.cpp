#include "opcua_browser.h"

#include <algorithm>
#include <set>
#include <utility>

#include "opcua_connection.h"
#include "zeb/opcua_value_record.h"
#include "zeb/status.h"

namespace {

constexpr int32_t kNodeClassVariable = 2;
constexpr uint32_t kAttributeDataType = 14;
constexpr uint32_t kAttributeValueRank = 15;
constexpr uint32_t kAttributeUserAccessLevel = 18;
constexpr uint64_t kCurrentWrite = 0x02;
// Attributes read per request.
constexpr size_t kReadBatch = 500;

// "1:Dev/1:Int32" -> "Dev.Int32".
std::string alias_of(const std::string& path) {
  std::string alias;
  size_t begin = 0;
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string::npos) end = path.size();
    std::string name = path.substr(begin, end - begin);
    const size_t colon = name.find(':');
    if (colon != std::string::npos && name.find_first_not_of("0123456789") == colon && colon > 0) {
      name = name.substr(colon + 1);
    }
    if (!alias.empty()) alias += '.';
    alias += name;
    begin = end + 1;
  }
  return alias;
}

}  // namespace

int OpcuaBrowser::walk(const NodeId& start, int depth, std::vector<Variable>* out) {
  struct Pending {
    NodeId node;
    std::string path;
    int level;
  };
  std::vector<Pending> queue{{start, "", 0}};
  std::set<std::string> seen{start.to_text()};
  std::vector<Variable> variables;
  for (size_t next = 0; next < queue.size(); ++next) {
    const Pending current = queue[next];
    if (current.level >= depth) continue;
    std::vector<ServiceCodec::Reference> references;
    const int status = connection_->browse(current.node, &references);
    if (status != zeb::kSuccess) return status;
    for (const ServiceCodec::Reference& reference : references) {
      const std::string id = reference.node.to_text();
      if (!seen.insert(id).second || seen.size() > kMaxNodes) continue;
      const std::string path =
          current.path.empty() ? reference.browse_name : current.path + "/" + reference.browse_name;
      if (reference.node_class == kNodeClassVariable) {
        Variable variable;
        variable.node_id = id;
        variable.path = path;
        variables.push_back(std::move(variable));
      }
      queue.push_back({reference.node, path, current.level + 1});
    }
  }
  const int described = describe(&variables);
  if (described != zeb::kSuccess) return described;
  *out = std::move(variables);
  return zeb::kSuccess;
}

int OpcuaBrowser::describe(std::vector<Variable>* variables) {
  for (size_t first = 0; first < variables->size(); first += kReadBatch) {
    const size_t last = std::min(variables->size(), first + kReadBatch);
    std::vector<NodeId> nodes;
    for (size_t i = first; i < last; ++i) {
      NodeId node;
      NodeId::parse((*variables)[i].node_id, &node);
      nodes.push_back(node);
    }
    std::vector<VariantCodec::DataValue> types;
    std::vector<VariantCodec::DataValue> access;
    std::vector<VariantCodec::DataValue> ranks;
    int status = connection_->read_attributes(nodes, kAttributeDataType, &types);
    if (status == zeb::kSuccess) {
      status = connection_->read_attributes(nodes, kAttributeUserAccessLevel, &access);
    }
    if (status == zeb::kSuccess) {
      status = connection_->read_attributes(nodes, kAttributeValueRank, &ranks);
    }
    if (status != zeb::kSuccess) return status;
    for (size_t i = first; i < last; ++i) {
      Variable& variable = (*variables)[i];
      const VariantCodec::DataValue& type = types[i - first];
      if (type.has_value && type.value["val"].is_string()) {
        variable.data_type = type.value["val"].get<std::string>();
        NodeId type_id;
        if (NodeId::parse(variable.data_type, &type_id) && type_id.ns() == 0 &&
            type_id.kind() == NodeId::Kind::kNumeric && type_id.numeric_id() >= 1 &&
            type_id.numeric_id() <= static_cast<uint32_t>(opcua_value::kTypeCount)) {
          variable.data_type = opcua_value::kTypeNames[type_id.numeric_id() - 1];
          variable.record_type = true;
        }
      }
      const VariantCodec::DataValue& rank = ranks[i - first];
      variable.scalar = !rank.has_value || !rank.value["val"].is_number_integer() ||
                        rank.value["val"].get<int64_t>() == -1;
      const VariantCodec::DataValue& level = access[i - first];
      variable.writable = level.has_value && level.value["val"].is_number_unsigned() &&
                          (level.value["val"].get<uint64_t>() & kCurrentWrite) != 0;
    }
  }
  return zeb::kSuccess;
}

std::string OpcuaBrowser::table(const std::vector<Variable>& variables) {
  std::string text;
  for (const Variable& variable : variables) {
    text += variable.node_id + '\t' + variable.path + '\t' + variable.data_type +
            (variable.scalar ? "" : "[]") + '\t' + (variable.writable ? "writable" : "read-only") +
            '\n';
  }
  return text;
}

nlohmann::json OpcuaBrowser::data_map(const std::vector<Variable>& variables,
                                      const std::string& kind) {
  if (kind == "sinkflat") {
    nlohmann::json map = nlohmann::json::object();
    for (const Variable& variable : variables) {
      if (!variable.writable || !variable.record_type || !variable.scalar) continue;
      map[variable.node_id] = {{"type", variable.data_type},
                               {"aliases", nlohmann::json::array({alias_of(variable.path)})}};
    }
    return map;
  }
  nlohmann::json map = nlohmann::json::array();
  for (const Variable& variable : variables) {
    map.push_back({{"id", variable.node_id}, {"alias", alias_of(variable.path)}});
  }
  return map;
}
