// Read-only views of a mapping rule for transport plug-ins, which receive the
// rule as an opaque pointer and know nothing of the registry's classes.
#include "zeb/rf_node_rule.h"
#include "zeb/transport.h"

namespace {

const zeb::RFNodeRule* rule_of(void* entry) {
  if (entry == nullptr) return nullptr;
  return dynamic_cast<const zeb::RFNodeRule*>(static_cast<zeb::NodeEntry*>(entry));
}

}  // namespace

extern "C" {

const char* zeb_get_plane_id(void* entry) {
  const auto* rule = rule_of(entry);
  return rule != nullptr ? rule->plane_id().c_str() : "";
}

const char* zeb_get_transport_addr(void* entry) {
  const auto* rule = rule_of(entry);
  return rule != nullptr ? rule->transport_addr().c_str() : "";
}

const char* zeb_get_transport_scheme(void* entry) {
  const auto* rule = rule_of(entry);
  return rule != nullptr ? rule->transport_scheme().c_str() : "";
}

const char* zeb_get_options(void* entry) {
  const auto* rule = rule_of(entry);
  return rule != nullptr ? rule->options().c_str() : "";
}
}
