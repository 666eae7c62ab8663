#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

// How long the oldest record of a queue has waited, without keeping a time
// per record: a mark (record number, time) is noted at most once per
// `resolution`, so the oldest record's age is known to within that, in
// bounded memory whatever the queue holds. Records an earlier run left behind
// count from the moment the queue was opened.
//
// Threads: one producer calls `pushed`, one consumer `popped`, any thread
// `oldest_age`; `lock_` guards everything.
class RecordAges {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RecordAges(Clock::duration resolution = std::chrono::seconds(1),
                      size_t most_marks = 4096);

  // `records` were already queued at `now` (taken over at opening).
  void taken_over(uint64_t records, Clock::time_point now);
  void pushed(Clock::time_point now);
  void popped();
  // Age of the oldest queued record at `now`; zero when none is queued.
  Clock::duration oldest_age(Clock::time_point now);

 private:
  struct Mark {
    uint64_t first;  // number of the first record pushed at or after `at`
    Clock::time_point at;
  };

  const Clock::duration resolution_;
  const size_t most_marks_;
  std::mutex lock_;
  std::deque<Mark> marks_;  // oldest first
  uint64_t pushed_ = 0;     // records ever queued; the next one's number
  uint64_t popped_ = 0;     // records ever taken out; the oldest one's number
};
