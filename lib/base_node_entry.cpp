#include "zeb/base_node_entry.h"

#include <cstring>

namespace zeb {

BaseNodeEntry::BaseNodeEntry(const char* node_ref) : NodeEntry(node_ref) {}

int BaseNodeEntry::map_reference(const char* ref, char* out, size_t out_size) const {
  if (ref == nullptr || out == nullptr) return 0;
  const size_t needed = std::strlen(ref) + 1;
  if (needed > out_size) return 0;
  std::memcpy(out, ref, needed);
  return 1;
}

}  // namespace zeb
