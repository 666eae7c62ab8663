#include "framework/idle_watch.h"

namespace qor {

IdleWatch::Clock::duration IdleWatch::look(uint64_t count, Clock::time_point now) {
  if (limit_.count() <= 0) return Clock::duration::zero();
  std::lock_guard<std::mutex> guard(lock_);
  if (!started_ || count != last_count_) {
    started_ = true;
    last_count_ = count;
    last_change_ = now;
  }
  const Clock::duration silent_for = now - last_change_;
  silent_ = silent_for > limit_;
  return silent_ ? silent_for : Clock::duration::zero();
}

int IdleWatch::take_change() {
  std::lock_guard<std::mutex> guard(lock_);
  if (silent_ == reported_silent_) return 0;
  reported_silent_ = silent_;
  return silent_ ? 1 : -1;
}

}  // namespace qor
