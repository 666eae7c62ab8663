#include "blocks/zeb/zeb_block.h"

#include "blocks/config_getters.h"
#include "blocks/util/plane_metrics.h"
#include "framework/metric_families.h"
#include "zeb/connection_metadata.h"
#include "zeb/log.h"
#include "zeb/status.h"
#include "zeb/transport.h"

namespace {

// Level of the library's log when the block names none: errors only.
constexpr int kErrorLevel = 4;

}  // namespace

ZebBlock::ZebBlock(const std::string& name, const nlohmann::json& config)
    : ConfigBlock(name, config), transport_addr_(config_string_required(config, "transport_addr")) {
  nlohmann::json plane = config_object(config, "options");
  plane["transport_addr"] = transport_addr_;
  options_text_ = plane.dump();

  client_log_name_ = log_name() + ".zeb";
  zeb::create_stdout_log(client_log_name_.c_str());
  // Without a "log_level" the library still says why a connection fails: an
  // unattended gateway must not fail in silence.
  const int client_level =
      config.is_object() && config.contains("log_level") ? parse_log_level(config) : kErrorLevel;
  zeb::set_log_level(client_log_name_.c_str(), client_level);

  // Named after the client log, so the registry's own complaints (a rule it
  // cannot build) are seen next to the client's.
  registry_ = std::make_unique<zeb::RegistryFile>(client_log_name_.c_str(), nullptr);
  registry_->add_plane(name.c_str(), options_text_.c_str());
  client_.reset(zeb::makeClient(registry_.get(), client_log_name_.c_str()));
  mapping_ = std::make_unique<zeb::ConnectionMapping>(*registry_);
}

ZebBlock::~ZebBlock() {
  shutdown();
}

void ZebBlock::shutdown() {
  join();
  // Freed before the pointer is cleared: a callback still running on a
  // transport thread while the client ends may give its message back.
  if (client_) {
    client_.get_deleter()(client_.get());
    (void)client_.release();
  }
}

std::string ZebBlock::escape_pattern(const std::string& text) {
  static const std::string kSpecial = "\\^$.|?*+()[]{}";
  std::string pattern;
  pattern.reserve(text.size() * 2);
  for (char c : text) {
    if (kSpecial.find(c) != std::string::npos) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

void ZebBlock::add_rule(const std::string& node_ref) {
  // Topics such as "plant/+/temp" are references, not patterns: the rule must
  // match the reference itself.
  registry_->append_rule(name().c_str(), zeb::kMethodAny, escape_pattern(node_ref).c_str(), "");
}

std::string ZebBlock::unhealthy_reason() const {
  return "no connection to " + transport_addr_;
}

void ZebBlock::add_plane_metrics(qor::MetricFamilies& metrics, const std::string& node_ref) const {
  ::add_plane_metrics(metrics, name(), *mapping_, node_ref);
}

void ZebBlock::check(std::vector<std::string>& problems) const {
  zeb::PlaneStats stats;
  const int status = mapping_->get_stats(node_ref().c_str(), &stats);
  if (status == zeb::kTransportNotFound) {
    problems.push_back("no transport plug-in serves the address " + transport_addr_);
  } else if (status == zeb::kNodeNotFound) {
    problems.push_back("node_ref " + node_ref() + " cannot be routed to the plane");
  } else if (status == zeb::kRegistryError) {
    problems.push_back("node_ref " + node_ref() + " is too long");
  }
}

bool ZebBlock::connection_healthy(const std::string& node_ref) {
  zeb::ConnectionMetadata metadata;
  return mapping_->get_metadata(node_ref.c_str(), &metadata) == zeb::kSuccess && metadata.healthy();
}
