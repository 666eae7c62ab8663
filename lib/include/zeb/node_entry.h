#pragma once

#include <cstddef>
#include <string>

#include "zeb/export.h"

namespace zeb {

// What a registry look-up hands out: one entry that a node reference matched.
// Entries are owned by their registry; holders only borrow them.
//
// Thread rules: read-only after construction; get_node_ref and map_reference may
// run on any number of threads at once.
class ZEB_EXPORT NodeEntry {
 public:
  // A null node_ref gives the empty text.
  explicit NodeEntry(const char* node_ref);
  explicit NodeEntry(std::string node_ref);
  virtual ~NodeEntry();
  NodeEntry(const NodeEntry&) = delete;
  NodeEntry& operator=(const NodeEntry&) = delete;

  // The entry's node reference text; valid as long as the entry lives.
  virtual const char* get_node_ref() const;

  // Writes the transport's form of ref into out (out_size bytes, NUL included).
  // The result codes are those of the implementing class.
  virtual int map_reference(const char* ref, char* out, size_t out_size) const = 0;

 protected:
  std::string node_ref_;
};

}  // namespace zeb
