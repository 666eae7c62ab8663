#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

// Counts messages dropped on purpose and paces their reports: the first drop
// is reported at once, later ones at most once per `period`, each report
// giving the count since the previous one. Any thread; `lock_` guards all.
class DropCounter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit DropCounter(Clock::duration period) : period_(period) {}

  // Counts one drop at `now`. Returns the number to report when a report is
  // due, else 0.
  uint64_t count(Clock::time_point now);
  // Drops counted but not reported yet; they count as reported afterwards.
  uint64_t take_unreported();
  uint64_t total();

 private:
  const Clock::duration period_;
  std::mutex lock_;
  uint64_t unreported_ = 0;
  uint64_t total_ = 0;
  bool reported_ = false;
  Clock::time_point last_report_;
};
