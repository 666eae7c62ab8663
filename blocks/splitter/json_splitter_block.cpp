#include "blocks/splitter/json_splitter_block.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "blocks/config_getters.h"
#include "blocks/util/json_text.h"
#include "zeb/log.h"

using nlohmann::json;

namespace {

// The names listed for one port, sorted and without repeats for look-up.
std::vector<std::string> listed_names(const std::string& port, const json& list) {
  std::vector<std::string> names;
  // An empty list arrives as null once environment references are replaced.
  if (list.is_null()) return names;
  if (!list.is_array()) {
    throw std::invalid_argument("Error data mapping object must contain an array");
  }
  for (const json& element : list) {
    if (!element.is_string()) {
      throw std::invalid_argument("Error data mapping array of " + port +
                                  " must contain only strings");
    }
    names.push_back(element.get<std::string>());
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

}  // namespace

JsonSplitterBlock::JsonSplitterBlock(const std::string& name, const json& config)
    : ConfigBlock(name, config) {
  add_port(&input_);
  if (!config.is_object() || !config.contains("ports")) {
    throw std::invalid_argument("Unable to find: ports in: " + config.dump());
  }
  const json ports = config_object(config, "ports");
  for (const auto& item : ports.items()) {
    const std::string& port_name = item.key();
    std::vector<std::string> names = listed_names(port_name, item.value());
    // An output of that name would never be registered and could not be linked.
    if (port_name == input_.name()) {
      throw std::invalid_argument("Error data mapping port input is the block's input port");
    }
    auto port = std::make_unique<qor::SourcePort<std::string>>(port_name);
    const std::string line = "Adding port: " + port_name + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    add_port(port.get());
    outputs_.push_back(std::move(port));
    routes_.emplace(port_name, std::move(names));
  }
}

void JsonSplitterBlock::process(qor::Port* /*port*/) {
  route(input_.receive());
}

void JsonSplitterBlock::route(std::string_view message) {
  std::string reason;
  if (!tree_.parse(message)) {
    reason = "not valid JSON: " + tree_.error();
  } else if (!tree_.is_object(tree_.root())) {
    reason = std::string("the message is ") + JsonTree::kind_phrase(tree_.kind(tree_.root())) +
             ", not an object";
  } else {
    const JsonTree::Id data = tree_.find(tree_.root(), "data");
    if (data == JsonTree::kNone || tree_.kind(data) == JsonTree::Kind::kNull) return;
    if (tree_.is_object(data)) {
      auto route_it = routes_.begin();  // same order as outputs_
      for (auto& output : outputs_) {
        std::string copy;
        if (write_copy(data, (route_it++)->second, copy)) output->try_send(std::move(copy));
      }
      return;
    }
    reason =
        std::string("\"data\" is ") + JsonTree::kind_phrase(tree_.kind(data)) + ", not an object";
  }
  drop_bad_input(reason);
}

bool JsonSplitterBlock::write_copy(JsonTree::Id data, const std::vector<std::string>& names,
                                   std::string& copy) const {
  const JsonTree::Id root = tree_.root();
  bool kept = false;
  copy.push_back('{');
  for (size_t i = 0; i < tree_.size(root); ++i) {
    const JsonTree::Child member = tree_.child(root, i);
    if (i > 0) copy.push_back(',');
    append_json_string(copy, member.key);
    copy.push_back(':');
    if (member.value != data) {
      tree_.write(member.value, copy);
      continue;
    }
    copy.push_back('{');
    for (size_t j = 0; j < tree_.size(data); ++j) {
      const JsonTree::Child field = tree_.child(data, j);
      if (!std::binary_search(names.begin(), names.end(), field.key)) continue;
      if (kept) copy.push_back(',');
      kept = true;
      append_json_string(copy, field.key);
      copy.push_back(':');
      tree_.write(field.value, copy);
    }
    copy.push_back('}');
  }
  copy.push_back('}');
  return kept;
}
