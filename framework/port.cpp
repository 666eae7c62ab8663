#include "framework/port.h"

#include <algorithm>

#include "framework/block.h"
#include "framework/exception.h"

namespace qor {

Port::~Port() {
  if (owner_ != nullptr) owner_->forget_port(this);
}

void Port::connect(Port* /*other*/) {
  throw Exception(CANNOT_CONNECT);
}

int Port::disconnect(Port* other) {
  auto it = std::find(connections_.begin(), connections_.end(), other);
  if (it == connections_.end()) return NOT_CONNECTED;
  connections_.erase(it);
  return SUCCESS;
}

Port* Port::connection(size_t index) const {
  return index < connections_.size() ? connections_[index] : nullptr;
}

}  // namespace qor
