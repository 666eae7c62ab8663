#pragma once

#include "zeb/node_entry.h"

namespace zeb {

// An entry that hands references through unchanged.
class ZEB_EXPORT BaseNodeEntry : public NodeEntry {
 public:
  explicit BaseNodeEntry(const char* node_ref);

  // Copies ref with its NUL into out and returns 1; returns 0 and writes nothing
  // when it does not fit in out_size bytes (or when ref or out is null).
  int map_reference(const char* ref, char* out, size_t out_size) const override;
};

}  // namespace zeb
