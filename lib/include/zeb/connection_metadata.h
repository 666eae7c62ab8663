#pragma once

#include <memory>

#include "zeb/export.h"

namespace zeb {

// The health of one connection, as a transport reports it. The flag lives in
// one heap byte owned by the object: copies get a byte of their own, moves take
// it over. A moved-from object reads as unhealthy until it is assigned again.
//
// Thread rules: not synchronised; one object belongs to one thread at a time.
class ZEB_EXPORT ConnectionMetadata {
 public:
  ConnectionMetadata();
  ~ConnectionMetadata();
  ConnectionMetadata(const ConnectionMetadata& other);
  ConnectionMetadata& operator=(const ConnectionMetadata& other);
  ConnectionMetadata(ConnectionMetadata&& other) noexcept;
  ConnectionMetadata& operator=(ConnectionMetadata&& other) noexcept;

  bool healthy() const;
  void healthy(bool value);

 private:
  std::unique_ptr<bool> healthy_;
};

}  // namespace zeb
