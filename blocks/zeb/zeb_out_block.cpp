#include "blocks/zeb/zeb_out_block.h"

#include <stdexcept>

#include "blocks/config_getters.h"
#include "blocks/util/text_case.h"
#include "zeb/log.h"
#include "zeb/status.h"
#include "zeb/transport.h"

ZebOutBlock::ZebOutBlock(const std::string& name, const nlohmann::json& config)
    : ZebBlock(name, config) {
  const std::string method = to_upper(config_string_required(config, "method"));
  if (method == "PUB") {
    method_ = zeb::kMethodPub;
  } else if (method == "SET") {
    method_ = zeb::kMethodSet;
  } else {
    throw std::invalid_argument("ERROR: ZEB Output Block: " + name + " unknown method: " + method +
                                " valid methods are \"PUB\" and \"SET\"");
  }
  node_ref_ = config_string_required(config, "node_ref");
  add_rule(node_ref_);
  add_port(&input_);
}

ZebOutBlock::~ZebOutBlock() {
  shutdown();
}

int ZebOutBlock::deliver(std::string& text) {
  return deliver(text.data(), text.size());
}

int ZebOutBlock::deliver(char* data, size_t length) {
  try {
    return method_ == zeb::kMethodPub ? client_->pub(node_ref_.c_str(), data, length)
                                      : client_->set(node_ref_.c_str(), data, length);
  } catch (const std::exception& e) {
    zeb::log_error(logger(), "ZebOutBlock [%s]: %s", name().c_str(), e.what());
    return zeb::kInternalError;
  }
}

void ZebOutBlock::process(qor::Port* /*port*/) {
  if (stopping()) return;
  std::string text = input_.receive();
  const int status = deliver(text);
  if (status == zeb::kSuccess) {
    stats().count_out();
    return;
  }
  zeb::log_error(logger(), "ZebOutBlock Err: %d", status);
  stats().count_drop(qor::DropReason::kRefused);
}

void ZebOutBlock::add_metrics(qor::MetricFamilies& metrics) const {
  add_plane_metrics(metrics, node_ref_);
}

bool ZebOutBlock::is_healthy() {
  return connection_healthy(node_ref_);
}
