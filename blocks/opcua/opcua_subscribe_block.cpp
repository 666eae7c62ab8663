#include "blocks/opcua/opcua_subscribe_block.h"

#include <exception>

#include "blocks/opcua/opcua_data_map.h"
#include "blocks/util/clock.h"
#include "blocks/util/json_text.h"
#include "blocks/util/json_tree.h"
#include "zeb/log.h"
#include "zeb/status.h"
#include "zeb/transport.h"

OpcuaSubscribeBlock::OpcuaSubscribeBlock(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config),
      nodes_([&] {
        std::map<std::string, Node> nodes;
        for (const auto& [ref, alias] : parse_opcua_data_map(config)) nodes[ref].alias = alias;
        return nodes;
      }()),
      plane_(name, log_name(), config) {
  // The transport sees "/json?" and the reference; topics come back bare.
  plane_.add_rule(zeb::kMethodSub | zeb::kMethodGet, "(.+)", "/json?$1");
  plane_.connect(true);
  add_port(&output_);
}

OpcuaSubscribeBlock::~OpcuaSubscribeBlock() {
  join();
}

void OpcuaSubscribeBlock::stop_intake() {
  join();
  plane_.close();
}

void OpcuaSubscribeBlock::run() {
  while (!stopping()) {
    for (auto& [ref, node] : nodes_) {
      if (!node.needs_subscribing) continue;
      zeb::log_debug(logger(), "Subscription to node_ref %s for OPC-UA server %s needs to connect",
                     ref.c_str(), plane_.server().c_str());
      int status = zeb::kInternalError;
      try {
        status = plane_.client().sub(ref.c_str(), &OpcuaSubscribeBlock::on_update, this);
      } catch (const std::exception& e) {
        zeb::log_error(logger(), "OPC-UA subscribe of %s failed: %s", ref.c_str(), e.what());
      }
      node.needs_subscribing = status != zeb::kSuccess;
    }
    pause_unless_stopped(*this, 1000);
  }
}

std::string OpcuaSubscribeBlock::unhealthy_reason() const {
  for (const auto& [ref, node] : nodes_) {
    if (node.needs_subscribing) return "no subscription to " + ref + " on " + plane_.server();
  }
  return "no session with " + plane_.server();
}

void OpcuaSubscribeBlock::add_metrics(qor::MetricFamilies& metrics) const {
  if (!nodes_.empty()) plane_.add_metrics(metrics, nodes_.begin()->first);
}

bool OpcuaSubscribeBlock::is_healthy() {
  for (auto& [ref, node] : nodes_) {
    if (node.needs_subscribing || !plane_.node_healthy(ref)) return false;
  }
  return true;
}

void OpcuaSubscribeBlock::on_update(const char* plane, const char* topic, zeb::_Msg* msg,
                                    void* user) {
  if (msg == nullptr) return;
  std::string payload(msg->data, msg->len);
  OpcuaPlane::release(msg);
  auto* block = static_cast<OpcuaSubscribeBlock*>(user);
  block->stats().count_in();
  try {
    block->deliver(plane, topic ? topic : "", payload);
  } catch (const std::exception& e) {
    zeb::log_error(block->logger(), "OPC-UA update on %s dropped: %s", topic ? topic : "",
                   e.what());
  }
}

void OpcuaSubscribeBlock::deliver(const char* plane, const std::string& topic,
                                  const std::string& payload) {
  auto node = nodes_.find(topic);
  if (node == nodes_.end()) return;
  // Every value passes here: a flat tree reused by the delivering thread reads
  // the payload, and the message is written as text without building a document.
  thread_local JsonTree tree;
  const bool parsed = tree.parse(payload);
  const JsonTree::Id type = parsed ? tree.find(tree.root(), "type") : JsonTree::kNone;
  const JsonTree::Id val = parsed ? tree.find(tree.root(), "val") : JsonTree::kNone;
  if (type == JsonTree::kNone || val == JsonTree::kNone) {
    zeb::log_error(logger(), "Error parsing OPC-UA data from plane %s on topic %s: %s",
                   plane ? plane : "", topic.c_str(), payload_problem(payload).c_str());
    stats().count_drop(qor::DropReason::kBadInput);
    return;
  }
  std::string text = "{\"data\":{";
  append_json_string(text, node->second.alias);
  text += ":{\"type\":";
  tree.write(type, text);
  text += ",\"val\":";
  tree.write(val, text);
  text += "}},\"timestamp\":";
  append_json_integer(text, now_milliseconds());
  text += '}';
  zeb::log_debug(logger(), "OPCUA output: %s", text.c_str());
  output_.send(std::move(text));
}

// Rare: the JSON library reads the payload again so the line gives its words.
std::string OpcuaSubscribeBlock::payload_problem(const std::string& payload) {
  try {
    const nlohmann::json value = nlohmann::json::parse(payload);
    value.at("type");
    value.at("val");
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no \"type\" and \"val\" members";
}
