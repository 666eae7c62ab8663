#include "route.h"

#include <cstring>

#include "zeb/status.h"

namespace zeb {

int Route::resolve(const Registry& registry, const TransportLoader& loader, int lookup_methods,
                   int required, const char* ref) {
  if (registry.lookup_node(lookup_methods, ref, &entry_) != 0 || entry_ == nullptr) {
    return kNodeNotFound;
  }
  if (loader.find_transport(zeb_get_transport_scheme(entry_), &transport_) != 1) {
    return kTransportNotFound;
  }
  if (required != 0 && (transport_->get_supported_methods() & required) == 0) {
    return kUnsupportedMethod;
  }
  const int mapped = entry_->map_reference(ref, ref_, sizeof ref_);
  if (mapped == 0) return kRegistryError;
  // An entry without rewrite copies the reference cut to the buffer; a cut
  // reference would reach some other topic, so it is refused like a long rewrite.
  if (mapped == -1 && std::strlen(ref) > kMaxReferenceLength) return kRegistryError;
  return kSuccess;
}

}  // namespace zeb
