#pragma once

#include "zeb/connection_metadata.h"
#include "zeb/export.h"
#include "zeb/plane_stats.h"
#include "zeb/registry.h"
#include "zeb/transport_loader.h"

namespace zeb {

// Answers whether the connection behind a node reference is healthy, by asking
// the transport that serves the reference's plane. It loads plug-ins into a
// loader of its own (default search path), separate from any client's.
//
// Ownership: the registry is borrowed and must outlive the mapping.
// Thread rules: no lock; get_metadata only reads and may run on several threads
// once the registry is no longer being changed.
class ZEB_EXPORT ConnectionMapping {
 public:
  explicit ConnectionMapping(Registry& registry);
  ~ConnectionMapping();
  ConnectionMapping(const ConnectionMapping&) = delete;
  ConnectionMapping& operator=(const ConnectionMapping&) = delete;

  // 200 with *out set to the transport's metadata for the matching rule (any
  // method); -1 when no rule matches, -2 when no transport serves its scheme,
  // -17 when the rewritten reference does not fit, -9 for a null out. *out is
  // unchanged on failure.
  int get_metadata(const char* node_ref, ConnectionMetadata* out);
  // 200 with *out filled by the transport's `plane_stats` for the matching
  // rule; the routing failures of get_metadata, or 501 when the transport
  // keeps no figures. *out is unchanged on failure.
  int get_stats(const char* node_ref, PlaneStats* out);

 private:
  Registry& registry_;
  TransportLoader loader_;
};

}  // namespace zeb
