#include "blocks/zeb/drop_counter.h"

uint64_t DropCounter::count(Clock::time_point now) {
  std::lock_guard<std::mutex> guard(lock_);
  ++total_;
  ++unreported_;
  if (reported_ && now - last_report_ < period_) return 0;
  reported_ = true;
  last_report_ = now;
  const uint64_t due = unreported_;
  unreported_ = 0;
  return due;
}

uint64_t DropCounter::take_unreported() {
  std::lock_guard<std::mutex> guard(lock_);
  const uint64_t due = unreported_;
  unreported_ = 0;
  return due;
}

uint64_t DropCounter::total() {
  std::lock_guard<std::mutex> guard(lock_);
  return total_;
}
