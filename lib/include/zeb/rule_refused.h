#pragma once

#include <stdexcept>

#include "zeb/export.h"

namespace zeb {

// A mapping rule whose pattern is valid but cannot be matched in time linear
// in the reference; what() names the reason.
class ZEB_EXPORT RuleRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace zeb
