#include "blocks/queue/record_ages.h"

RecordAges::RecordAges(Clock::duration resolution, size_t most_marks)
    : resolution_(resolution), most_marks_(most_marks < 2 ? 2 : most_marks) {}

void RecordAges::taken_over(uint64_t records, Clock::time_point now) {
  std::lock_guard<std::mutex> guard(lock_);
  if (records == 0) return;
  marks_.push_back(Mark{pushed_, now});
  pushed_ += records;
}

void RecordAges::pushed(Clock::time_point now) {
  std::lock_guard<std::mutex> guard(lock_);
  if (marks_.empty() || now - marks_.back().at >= resolution_) {
    if (marks_.size() >= most_marks_) {
      // Coarser, not wrong: every other mark goes, the oldest stays, so the
      // oldest record's age is never under-stated.
      std::deque<Mark> kept;
      for (size_t i = 0; i < marks_.size(); i += 2) kept.push_back(marks_[i]);
      marks_.swap(kept);
    }
    marks_.push_back(Mark{pushed_, now});
  }
  ++pushed_;
}

void RecordAges::popped() {
  std::lock_guard<std::mutex> guard(lock_);
  if (popped_ == pushed_) return;
  ++popped_;
  // A mark is needed while it is the newest one at or before the oldest record.
  while (marks_.size() >= 2 && marks_[1].first <= popped_) marks_.pop_front();
  if (popped_ == pushed_) marks_.clear();
}

RecordAges::Clock::duration RecordAges::oldest_age(Clock::time_point now) {
  std::lock_guard<std::mutex> guard(lock_);
  if (popped_ == pushed_ || marks_.empty()) return Clock::duration::zero();
  const Clock::duration age = now - marks_.front().at;
  return age > Clock::duration::zero() ? age : Clock::duration::zero();
}
