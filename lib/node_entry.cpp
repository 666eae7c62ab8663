#include "zeb/node_entry.h"

#include <utility>

namespace zeb {

NodeEntry::NodeEntry(const char* node_ref) : node_ref_(node_ref != nullptr ? node_ref : "") {}

NodeEntry::NodeEntry(std::string node_ref) : node_ref_(std::move(node_ref)) {}

NodeEntry::~NodeEntry() = default;

const char* NodeEntry::get_node_ref() const {
  return node_ref_.c_str();
}

}  // namespace zeb
