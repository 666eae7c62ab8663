#include "route.h"

#include <cstring>

#include "zeb/status.h"

namespace zeb {

int Route::resolve(const Registry& registry, const TransportLoader& loader, int lookup_methods,
                   int required, const char* ref) {
  // Longer references are not looked up at all; report that they cannot be
  // mapped rather than that nothing matched.
  if (ref != nullptr && std::strlen(ref) > kMaxReferenceLength) return kRegistryError;
  if (registry.lookup_node(lookup_methods, ref, &entry_) != 0 || entry_ == nullptr) {
    return kNodeNotFound;
  }
  if (loader.find_transport(zeb_get_transport_scheme(entry_), &transport_) != 1) {
    return kTransportNotFound;
  }
  if (required != 0 && (transport_->get_supported_methods() & required) == 0) {
    return kUnsupportedMethod;
  }
  if (entry_->map_reference(ref, ref_, sizeof ref_) == 0) return kRegistryError;
  return kSuccess;
}

}  // namespace zeb
