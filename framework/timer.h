#pragma once

#include <functional>

namespace qor {

// A periodic timer that runs a callback on a thread of its own.
class ITimer {
 public:
  virtual ~ITimer() = default;
  virtual void set_callback(std::function<void()> callback) = 0;
  virtual void start() = 0;
};

}  // namespace qor
