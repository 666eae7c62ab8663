#pragma once

#include "zeb/export.h"
#include "zeb/node_entry.h"

namespace zeb {

// Where a node reference goes: the look-up a client makes before every call.
//
// Thread rules: building (initialize and the implementation's own editing
// operations) must finish before the registry is shared; lookup_node may then
// run on any number of threads at once.
class ZEB_EXPORT Registry {
 public:
  virtual ~Registry() = default;

  // Loads the registry's configuration; values above 1000 are success.
  virtual int initialize() = 0;

  // Sets *out to the first entry matching node_ref for one of the bits in
  // methods and returns 0; sets *out to null and returns 1 when none matches.
  // Entries stay owned by the registry and live as long as it does.
  virtual int lookup_node(int methods, const char* node_ref, NodeEntry** out) const = 0;
};

}  // namespace zeb
