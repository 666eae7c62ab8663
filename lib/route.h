#pragma once

#include "zeb/node_entry.h"
#include "zeb/registry.h"
#include "zeb/transport.h"
#include "zeb/transport_loader.h"

namespace zeb {

// Where one call goes: the entry a node reference matched, the transport that
// serves the entry's scheme, and the reference rewritten for that transport.
// Every failure is found here, before any transport is called.
//
// Thread rules: a Route is a local of one call; the registry and loader are
// only read.
class Route {
 public:
  // Resolves ref for the lookup mask; when required is not 0 the transport must
  // support that method bit. Returns 200, or -1 (no entry), -2 (no transport),
  // -3 (method not supported) or -17 (ref or its rewritten form is longer than
  // a transport accepts; an entry without rewrite would otherwise hand the
  // transport a cut reference, which names some other target).
  int resolve(const Registry& registry, const TransportLoader& loader, int lookup_methods,
              int required, const char* ref);

  Transport* transport() const { return transport_; }
  // The entry, as transports receive it.
  void* entry() const { return entry_; }
  const char* ref() const { return ref_; }

 private:
  NodeEntry* entry_ = nullptr;
  Transport* transport_ = nullptr;
  char ref_[kMaxReferenceLength + 1] = {};
};

}  // namespace zeb
