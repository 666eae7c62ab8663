#pragma once

#include <string>

#include "shared_library.h"
#include "zeb/transport.h"

namespace zeb {

// One loaded plug-in: its transport, the library it came from and the entry
// point that destroys the transport. (get_version is only checked for when
// loading; nothing needs its address afterwards.) Owned by its TransportLoader.
//
// Thread rules: none; the loader builds and destroys it on one thread.
class TransportExtInfo {
 public:
  TransportExtInfo(Transport* transport, SharedLibrary library,
                   zeb_cleanup_transport_fn cleanup_transport);
  // Unloads when unload() was not called, ignoring a close error.
  ~TransportExtInfo();
  TransportExtInfo(const TransportExtInfo&) = delete;
  TransportExtInfo& operator=(const TransportExtInfo&) = delete;

  Transport* transport() const { return transport_; }

  // Hands the transport to the plug-in's cleanup_transport, then closes the
  // library; false with the loader's text when closing fails.
  bool unload(std::string& error);

 private:
  Transport* transport_;
  SharedLibrary library_;
  zeb_cleanup_transport_fn cleanup_transport_;
};

}  // namespace zeb
