#include "blocks/zeb/zeb_in_block.h"

#include <stdexcept>

#include "blocks/config_getters.h"
#include "blocks/util/clock.h"
#include "blocks/util/text_case.h"
#include "zeb/log.h"
#include "zeb/status.h"
#include "zeb/transport.h"

namespace {

// QoS 1 and 2 are the levels at which the broker will not send a message again
// once it reached us.
bool acknowledged_qos(const nlohmann::json& options) {
  if (!options.is_object()) return false;
  auto it = options.find("qos");
  if (it == options.end() || !it->is_number()) return false;
  const double qos = it->get<double>();
  return qos >= 1 && qos < 3;
}

}  // namespace

ZebInBlock::ZebInBlock(const std::string& name, const nlohmann::json& config)
    : ZebBlock(name, config) {
  const std::string method = to_upper(config_string_required(config, "method"));
  if (method == "SUB") {
    method_ = zeb::kMethodSub;
  } else if (method == "GET") {
    method_ = zeb::kMethodGet;
    interval_ = config_int(config, "interval");
  } else {
    throw std::invalid_argument("ERROR: ZEB Input Block: " + name + " unknown method: " + method +
                                " valid methods are \"SUB\" and \"GET\"");
  }
  node_ref_ = config_string_required(config, "node_ref");
  lossless_ = acknowledged_qos(config_object(config, "options"));
  add_rule(node_ref_);
  add_port(&output_);
}

ZebInBlock::~ZebInBlock() {
  shutdown();
}

void ZebInBlock::run() {
  if (method_ == zeb::kMethodSub) {
    subscribe();
  } else {
    poll();
  }
}

void ZebInBlock::subscribe() {
  while (!stopping()) {
    int status = zeb::kInternalError;
    try {
      status = client_->sub(node_ref_.c_str(), &ZebInBlock::on_message, this);
    } catch (const std::exception& e) {
      zeb::log_error(logger(), "ZebInBlock [%s]: %s", name().c_str(), e.what());
    }
    if (status == zeb::kSuccess) return;
    zeb::log_error(logger(), "ERROR: Unable to subscribe to node_ref [%s] in ZebInBlock [%s]",
                   node_ref_.c_str(), name().c_str());
    pause_unless_stopped(*this, 1000);
  }
}

void ZebInBlock::poll() {
  while (!stopping()) {
    zeb::_Msg* msg = nullptr;
    int status = zeb::kInternalError;
    try {
      status = client_->get(node_ref_.c_str(), &msg);
    } catch (const std::exception& e) {
      zeb::log_error(logger(), "ZebInBlock [%s]: %s", name().c_str(), e.what());
    }
    if (status == zeb::kSuccess && msg != nullptr) {
      std::string text(msg->data, msg->len);
      client_->free_msg(msg);
      output_.send(std::move(text));
    } else {
      if (msg != nullptr) client_->free_msg(msg);
      zeb::log_error(logger(), "Error: %d", status);
    }
    pause_unless_stopped(*this, interval_);
  }
}

void ZebInBlock::on_message(const char* /*plane*/, const char* /*topic*/, zeb::_Msg* msg,
                            void* user) {
  auto* block = static_cast<ZebInBlock*>(user);
  if (msg == nullptr) return;
  try {
    std::string text(msg->data, msg->len);
    block->client_->free_msg(msg);
    if (block->lossless_) {
      block->output_.send(std::move(text));
    } else {
      block->output_.try_send(std::move(text));  // a full queue drops it
    }
  } catch (const std::exception& e) {
    zeb::log_error(block->logger(), "ZebInBlock [%s]: %s", block->name().c_str(), e.what());
  }
}

bool ZebInBlock::is_healthy() {
  return connection_healthy(node_ref_);
}
