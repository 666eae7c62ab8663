#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace qor {

// Tells when a block has moved no message for longer than its limit, without
// touching the block's hot path: each look compares the block's message count
// with the one seen before and notes the time it last changed. So silence is
// noticed at the first look after the limit has passed.
//
// Any thread; `lock_` guards everything but `limit_`, which is set on the main
// thread before any look.
class IdleWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // 0 (the default) watches nothing.
  void set_limit(std::chrono::seconds limit) { limit_ = limit; }
  std::chrono::seconds limit() const { return limit_; }

  // Looks at `count` (messages moved so far) at `now`. Returns how long the
  // block has been silent when that exceeds the limit, else zero. The first
  // look starts the clock.
  Clock::duration look(uint64_t count, Clock::time_point now);
  // Changes of state since the previous call: +1 when the block went silent,
  // -1 when data came back, 0 otherwise. Lets one caller log each change once.
  int take_change();

 private:
  std::chrono::seconds limit_{0};
  std::mutex lock_;
  bool started_ = false;
  uint64_t last_count_ = 0;
  Clock::time_point last_change_;
  bool silent_ = false;
  bool reported_silent_ = false;
};

}  // namespace qor
