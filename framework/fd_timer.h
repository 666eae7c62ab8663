#pragma once

#include <sys/timerfd.h>

#include <cstdint>
#include <functional>
#include <future>

#include "framework/timer.h"
#include "framework/unique_fd.h"

namespace qor {

// Interval timer on a wall-clock timer descriptor. The loop runs on its own
// task thread and waits on the timer and on an event descriptor that only the
// destructor writes, to end the loop. The callback runs on the task thread.
// `set_callback` must come before `start`; an interval of 0 leaves the timer
// disarmed (no callback ever runs).
class FDTimer : public ITimer {
 public:
  // Throws std::system_error when a descriptor cannot be created.
  explicit FDTimer(int64_t interval_seconds);
  ~FDTimer() override;
  FDTimer(const FDTimer&) = delete;
  FDTimer& operator=(const FDTimer&) = delete;

  void set_callback(std::function<void()> callback) override;
  // Launches the loop, then arms the timer; throws std::system_error when the
  // setting is refused (a negative interval, for one).
  void start() override;

 private:
  void loop();
  void stop();

  itimerspec spec_{};
  UniqueFd timer_fd_;
  UniqueFd event_fd_;
  std::future<void> loop_;
  std::function<void()> callback_;
};

}  // namespace qor
