#include "blocks/monitor/service_notifier.h"

#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <iostream>

#include "framework/chain_health.h"

ServiceNotifier::~ServiceNotifier() {
  end_feeding();
}

std::chrono::microseconds ServiceNotifier::watchdog_period() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return std::chrono::microseconds::zero();
  return std::chrono::microseconds(usec);
}

void ServiceNotifier::ready() {
  if (sd_notify(0, "READY=1") <= 0) return;  // not run by a service manager
  const std::chrono::microseconds period = watchdog_period();
  if (period.count() <= 0 || feeder_.joinable()) return;
  feeder_ = std::thread(&ServiceNotifier::feed_loop, this, period / 2);
}

void ServiceNotifier::stopping() {
  end_feeding();
  sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::end_feeding() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  if (feeder_.joinable()) feeder_.join();
}

void ServiceNotifier::feed_loop(std::chrono::microseconds interval) {
  pthread_setname_np(pthread_self(), "watchdog");
  bool fed = true;
  std::unique_lock<std::mutex> guard(lock_);
  while (!stop_) {
    guard.unlock();
    bool healthy = false;
    try {
      healthy = qor::ChainHealth::problems().empty();
    } catch (const std::exception& e) {
      std::cerr << "ERROR: health check for the watchdog failed: " << e.what() << std::endl;
    }
    if (healthy) sd_notify(0, "WATCHDOG=1");
    if (healthy != fed) {
      std::cerr << (healthy ? "Chain healthy again: feeding the service watchdog\n"
                            : "WARNING: chain unhealthy: the service watchdog is no longer fed\n")
                << std::flush;
      fed = healthy;
    }
    guard.lock();
    wake_.wait_for(guard, interval, [this] { return stop_; });
  }
}
