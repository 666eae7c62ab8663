#include "zeb/connection_mapping.h"

#include "route.h"
#include "zeb/status.h"

namespace zeb {

ConnectionMapping::ConnectionMapping(Registry& registry) : registry_(registry) {
  loader_.initialize_transports();
}

ConnectionMapping::~ConnectionMapping() = default;

int ConnectionMapping::get_metadata(const char* node_ref, ConnectionMetadata* out) {
  if (out == nullptr) return kInvalidOption;
  Route route;
  const int rc = route.resolve(registry_, loader_, kMethodAny, 0, node_ref);
  if (rc != kSuccess) return rc;
  *out = route.transport()->connection_metadata(route.ref(), route.entry());
  return kSuccess;
}

int ConnectionMapping::get_stats(const char* node_ref, PlaneStats* out) {
  if (out == nullptr) return kInvalidOption;
  Route route;
  const int rc = route.resolve(registry_, loader_, kMethodAny, 0, node_ref);
  if (rc != kSuccess) return rc;
  PlaneStats stats;
  const int status = route.transport()->plane_stats(route.ref(), route.entry(), &stats);
  if (status == kSuccess) *out = stats;
  return status;
}

}  // namespace zeb
