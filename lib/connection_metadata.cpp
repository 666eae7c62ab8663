#include "zeb/connection_metadata.h"

namespace zeb {

ConnectionMetadata::ConnectionMetadata() : healthy_(std::make_unique<bool>(false)) {}

ConnectionMetadata::~ConnectionMetadata() = default;

ConnectionMetadata::ConnectionMetadata(const ConnectionMetadata& other)
    : healthy_(std::make_unique<bool>(other.healthy())) {}

ConnectionMetadata& ConnectionMetadata::operator=(const ConnectionMetadata& other) {
  healthy(other.healthy());
  return *this;
}

ConnectionMetadata::ConnectionMetadata(ConnectionMetadata&& other) noexcept = default;

ConnectionMetadata& ConnectionMetadata::operator=(ConnectionMetadata&& other) noexcept = default;

bool ConnectionMetadata::healthy() const {
  return healthy_ != nullptr && *healthy_;
}

void ConnectionMetadata::healthy(bool value) {
  if (healthy_ == nullptr) {
    healthy_ = std::make_unique<bool>(value);
  } else {
    *healthy_ = value;
  }
}

}  // namespace zeb
