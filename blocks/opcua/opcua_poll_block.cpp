#include "blocks/opcua/opcua_poll_block.h"

#include <time.h>

#include <cerrno>
#include <chrono>
#include <exception>

#include "blocks/config_getters.h"
#include "blocks/opcua/opcua_data_map.h"
#include "blocks/util/clock.h"
#include "zeb/log.h"
#include "zeb/status.h"
#include "zeb/transport.h"

OpcuaPollBlock::OpcuaPollBlock(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config),
      nodes_([&] {
        std::map<std::string, Node> nodes;
        for (const auto& [ref, alias] : parse_opcua_data_map(config)) nodes[ref].alias = alias;
        return nodes;
      }()),
      plane_(name, log_name(), config),
      interval_(0) {
  plane_.add_rule(zeb::kMethodAny, "(.+)", "/json?$1");
  plane_.connect(false);
  interval_ = config_int(config, "interval");
  add_port(&output_);
}

OpcuaPollBlock::~OpcuaPollBlock() {
  join();
}

void OpcuaPollBlock::run() {
  if (!config_ok()) {
    zeb::log_error(logger(), "OpcuaPoll [%s] has invalid config. Can not start.", name().c_str());
    return;
  }
  zeb::log_info(logger(), "Starting OpcuaPoll block [%s]", name().c_str());
  while (!stopping()) {
    const int64_t deadline = now_milliseconds() + interval_;
    const std::string text = poll_once();
    if (deadline < now_milliseconds()) {
      zeb::log_warn(logger(),
                    "OpcuaPoll: WARNING fetching keys takes longer than requested interval, "
                    "timestamps will start slipping");
    }
    zeb::log_debug(logger(), "OPCUA output: %s", text.c_str());
    output_.send(text);
    const int64_t left = deadline - now_milliseconds();
    if (left > 0) pause_unless_stopped(*this, left);
  }
}

std::string OpcuaPollBlock::poll_once() {
  nlohmann::json message = {{"data", nullptr}, {"timestamp", now_milliseconds()}};
  nlohmann::json& data = message["data"];
  for (auto& [ref, node] : nodes_) {
    zeb::_Msg* msg = nullptr;
    int status = zeb::kInternalError;
    try {
      status = plane_.client().get(ref.c_str(), &msg);
    } catch (const std::exception& e) {
      zeb::log_error(logger(), "OpcuaPoll: read of %s failed: %s", ref.c_str(), e.what());
    }
    if (status == zeb::kSuccess && msg != nullptr) {
      stats().count_in();
      try {
        data[node.alias] = nlohmann::json::parse(msg->data, msg->data + msg->len);
        node.last_read_ok = true;
      } catch (const std::exception& e) {
        zeb::log_error(logger(), "Error parsing OPC-UA data on node_ref %s: %s", ref.c_str(),
                       e.what());
        stats().count_drop(qor::DropReason::kBadInput);
        node.last_read_ok = false;
      }
    } else {
      zeb::log_error(logger(), "OpcuaPoll: ZEB error: %s (%d)", zeb::status_to_str(status), status);
      stats().count_error();
      node.last_read_ok = false;
    }
    OpcuaPlane::release(msg);
  }
  return message.dump();
}

std::string OpcuaPollBlock::unhealthy_reason() const {
  for (const auto& [ref, node] : nodes_) {
    if (!node.last_read_ok) return "last read of " + ref + " on " + plane_.server() + " failed";
  }
  return "reads fail";
}

bool OpcuaPollBlock::is_healthy() {
  for (auto& entry : nodes_) {
    if (!entry.second.last_read_ok) return false;
  }
  return true;
}
