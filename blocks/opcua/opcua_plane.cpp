#include "blocks/opcua/opcua_plane.h"

#include <cstdlib>

#include "blocks/config_block.h"
#include "blocks/config_getters.h"
#include "blocks/util/plane_metrics.h"
#include "zeb/connection_metadata.h"
#include "zeb/log.h"
#include "zeb/status.h"

OpcuaPlane::OpcuaPlane(const std::string& plane_name, const std::string& log_name,
                       const nlohmann::json& config)
    : plane_name_(plane_name),
      server_(config_string_required(config, "transport_addr")),
      client_log_name_(log_name + ".zeb") {
  nlohmann::json options = {{"transport_addr", server_}};
  auto given = config.find("options");
  if (given != config.end() && given->is_object()) {
    for (auto it = given->begin(); it != given->end(); ++it) options[it.key()] = it.value();
  }
  zeb::create_stdout_log(client_log_name_.c_str());
  zeb::set_log_level(client_log_name_.c_str(), ConfigBlock::parse_log_level(config));
  // Named after the client log, so the registry's complaints are seen there too.
  registry_ = std::make_unique<zeb::RegistryFile>(client_log_name_.c_str(), nullptr);
  registry_->add_plane(plane_name_.c_str(), options.dump().c_str());
}

OpcuaPlane::~OpcuaPlane() {
  // The client's transports may still call back; they go first, the registry last.
  mapping_.reset();
  close();
}

void OpcuaPlane::close() {
  // Freed before the pointer is cleared: a delivery still running while the
  // client ends may reach the block.
  if (client_) {
    client_.get_deleter()(client_.get());
    (void)client_.release();
  }
}

void OpcuaPlane::add_rule(int methods, const std::string& pattern, const std::string& rewrite) {
  registry_->append_rule(plane_name_.c_str(), methods, pattern.c_str(), rewrite.c_str());
}

void OpcuaPlane::connect(bool with_mapping) {
  client_.reset(zeb::makeClient(registry_.get(), client_log_name_.c_str()));
  if (with_mapping) mapping_ = std::make_unique<zeb::ConnectionMapping>(*registry_);
}

bool OpcuaPlane::node_healthy(const std::string& node_ref) {
  if (!mapping_) return true;
  zeb::ConnectionMetadata metadata;
  return mapping_->get_metadata(node_ref.c_str(), &metadata) == zeb::kSuccess && metadata.healthy();
}

void OpcuaPlane::release(zeb::_Msg* msg) {
  if (msg == nullptr) return;
  std::free(msg->data);
  delete msg;
}

void OpcuaPlane::add_metrics(qor::MetricFamilies& metrics, const std::string& node_ref) const {
  if (mapping_) add_plane_metrics(metrics, plane_name_, *mapping_, node_ref);
}
