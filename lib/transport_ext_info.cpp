#include "transport_ext_info.h"

#include <utility>

namespace zeb {

TransportExtInfo::TransportExtInfo(Transport* transport, SharedLibrary library,
                                   zeb_cleanup_transport_fn cleanup_transport)
    : transport_(transport), library_(std::move(library)), cleanup_transport_(cleanup_transport) {}

TransportExtInfo::~TransportExtInfo() {
  std::string ignored;
  unload(ignored);
}

bool TransportExtInfo::unload(std::string& error) {
  // The transport's code lives in the library, so it goes before the library.
  if (transport_ != nullptr) cleanup_transport_(std::exchange(transport_, nullptr));
  return library_.close(error);
}

}  // namespace zeb
