#pragma once

#include <exception>

#include "framework/status.h"

namespace qor {

// Thrown by port operations that cannot return a status (linking, registering
// an already owned port).
class Exception : public std::exception {
 public:
  explicit Exception(int code) : code_(code) {}
  int code() const noexcept { return code_; }
  const char* what() const noexcept override { return "qor::Exception"; }

 private:
  int code_;
};

}  // namespace qor
