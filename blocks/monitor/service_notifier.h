#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// Talks to the service manager when the program runs as a unit of
// Type=notify: READY=1 once the chain runs, STOPPING=1 when the orderly stop
// begins, and, when the unit has a watchdog (WatchdogSec), WATCHDOG=1 at half
// its period, but only while the chain is healthy. An unhealthy gateway stops
// feeding the watchdog and the service manager restarts it.
//
// Without NOTIFY_SOCKET in the environment every call does nothing.
//
// Threads: calls on the main thread (or the one stopping the chain); the
// watchdog runs on a thread of its own. `lock_` guards `stop_`; `wake_` is tied
// to it.
class ServiceNotifier {
 public:
  ServiceNotifier() = default;
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Sends READY=1 and starts feeding the watchdog when there is one.
  void ready();
  // Sends STOPPING=1 and ends the watchdog thread.
  void stopping();

  // The watchdog's period when the service manager set one for this process,
  // else zero.
  static std::chrono::microseconds watchdog_period();

 private:
  void feed_loop(std::chrono::microseconds interval);
  void end_feeding();

  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread feeder_;
};
