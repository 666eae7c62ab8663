#include "blocks/zeb/zeb_in_block.h"

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "blocks/config_getters.h"
#include "blocks/util/clock.h"
#include "blocks/util/text_case.h"
#include "framework/status.h"
#include "zeb/log.h"
#include "zeb/status.h"
#include "zeb/transport.h"

namespace {
constexpr int kLevelWarn = 3;
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
  overflow_ = parse_overflow(name, config);
  add_rule(node_ref_);
  add_port(&output_);
}

ZebInBlock::~ZebInBlock() {
  shutdown();
  const uint64_t unreported = drops_.take_unreported();
  if (unreported > 0) report_drops(unreported);
}

ZebInBlock::Overflow ZebInBlock::parse_overflow(const std::string& name,
                                                const nlohmann::json& config) {
  const std::string overflow = config_string(config, "overflow", "block");
  if (overflow == "block") return Overflow::kBlock;
  if (overflow == "drop") return Overflow::kDrop;
  throw std::invalid_argument("ERROR: ZEB Input Block: " + name + " unknown overflow: " + overflow +
                              " valid values are \"block\" and \"drop\"");
}

void ZebInBlock::stop_intake() {
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
      stats().count_in();
      std::string text(msg->data, msg->len);
      client_->free_msg(msg);
      deliver(std::move(text));
    } else {
      if (msg != nullptr) client_->free_msg(msg);
      zeb::log_error(logger(), "Error: %d", status);
      stats().count_error();
    }
    pause_unless_stopped(*this, interval_);
  }
}

void ZebInBlock::on_message(const char* /*plane*/, const char* /*topic*/, zeb::_Msg* msg,
                            void* user) {
  auto* block = static_cast<ZebInBlock*>(user);
  if (msg == nullptr) return;
  block->stats().count_in();
  try {
    std::string text(msg->data, msg->len);
    block->client_->free_msg(msg);
    block->deliver(std::move(text));
  } catch (const std::exception& e) {
    zeb::log_error(block->logger(), "ZebInBlock [%s]: %s", block->name().c_str(), e.what());
  }
}

void ZebInBlock::deliver(std::string text) {
  if (overflow_ == Overflow::kDrop) {
    if (output_.try_send(std::move(text)) != qor::PORT_FULL) return;
    stats().count_drop(qor::DropReason::kOverflow);
    const uint64_t due = drops_.count(DropCounter::Clock::now());
    if (due > 0) report_drops(due);
    return;
  }
  // Waits for room for as long as the next block runs.
  const int status = output_.send(std::move(text));
  if (status == qor::BLOCK_STOPPED) {
    zeb::log_error(logger(), "ZebInBlock [%s]: message lost: %s", name().c_str(),
                   qor::status_text(status).c_str());
  }
}

void ZebInBlock::report_drops(uint64_t count) {
  char line[256];
  std::snprintf(line, sizeof line,
                "ZebInBlock [%s]: dropped %llu messages for lack of room downstream "
                "(\"overflow\": \"drop\"), %llu in all",
                name().c_str(), static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(drops_.total()));
  zeb::log_warn(logger(), "%s", line);
  // Drops are data lost on purpose: they are told even when the block's log is off.
  if (log_level() > kLevelWarn) std::cerr << "WARNING: " << line << std::endl;
}

void ZebInBlock::add_metrics(qor::MetricFamilies& metrics) const {
  add_plane_metrics(metrics, node_ref_);
}

bool ZebInBlock::is_ready() {
  zeb::PlaneStats stats;
  if (mapping_->get_stats(node_ref_.c_str(), &stats) == zeb::kSuccess && stats.connected >= 0) {
    return stats.connected == 1;
  }
  return is_healthy();
}

bool ZebInBlock::is_healthy() {
  return connection_healthy(node_ref_);
}
