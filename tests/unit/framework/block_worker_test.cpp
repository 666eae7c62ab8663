#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "framework/block.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

bool wait_until(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

// Counts how its worker's waits end: by a wake, by the timeout, by a stop.
class Worker : public qor::Block {
 public:
  Worker(const std::string& name, std::chrono::milliseconds timeout, bool enabled = true)
      : Block(name), timeout_(timeout), enabled_(enabled) {}
  ~Worker() override { join(); }

  bool has_worker() const override { return enabled_; }
  void work() override {
    worker_thread = std::this_thread::get_id();
    for (;;) {
      const auto start = Clock::now();
      const bool go_on = worker_wait(timeout_);
      if (!go_on) {
        ended_by_stop = true;
        return;
      }
      if (Clock::now() - start >= timeout_) {
        ++timeouts;
      } else {
        ++wakes;
      }
    }
  }
  using Block::wake_worker;

  std::atomic<int> wakes{0};
  std::atomic<int> timeouts{0};
  std::atomic<bool> ended_by_stop{false};
  std::thread::id worker_thread;  // written by the worker, read after join

 private:
  const std::chrono::milliseconds timeout_;
  const bool enabled_;
};

}  // namespace

TEST(BlockWorker, StartsWithTheBlockWakesEarlyAndEndsOnStop) {
  Worker worker("worker", 10s);
  worker.start_thread();
  worker.wake_worker();
  ASSERT_TRUE(wait_until([&] { return worker.wakes == 1; }));
  worker.wake_worker();
  ASSERT_TRUE(wait_until([&] { return worker.wakes == 2; }));
  EXPECT_EQ(worker.timeouts, 0);

  const auto start = Clock::now();
  worker.join();
  EXPECT_LT(Clock::now() - start, 5s) << "stop must end a long wait at once";
  EXPECT_TRUE(worker.ended_by_stop);
  EXPECT_NE(worker.worker_thread, std::thread::id());
  EXPECT_NE(worker.worker_thread, std::this_thread::get_id());
}

TEST(BlockWorker, WaitEndsAfterItsTimeoutWithoutAWake) {
  Worker worker("ticker", 20ms);
  worker.start_thread();
  ASSERT_TRUE(wait_until([&] { return worker.timeouts >= 3; }));
  worker.join();
  EXPECT_EQ(worker.wakes, 0);
}

TEST(BlockWorker, AWakeBeforeTheWaitIsNotLost) {
  class Late : public qor::Block {
   public:
    using Block::Block;
    ~Late() override { join(); }
    bool has_worker() const override { return true; }
    void work() override {
      while (!go) std::this_thread::yield();
      const auto start = Clock::now();
      if (worker_wait(10s)) took = Clock::now() - start;
      while (worker_wait(10s)) {
      }
    }
    using Block::wake_worker;
    std::atomic<bool> go{false};
    Clock::duration took = Clock::duration::max();  // read after join
  } late("late");
  late.start_thread();
  late.wake_worker();
  late.go = true;
  std::this_thread::sleep_for(50ms);
  late.join();
  EXPECT_LT(late.took, 5s) << "the wake that came first must end the next wait";
}

TEST(BlockWorker, WaitAfterStopReturnsFalseAtOnce) {
  Worker worker("stopped", 10s);
  worker.stop();
  worker.start_thread();  // the worker finds the block already stopping
  const auto start = Clock::now();
  worker.join();
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST(BlockWorker, NoWorkerUnlessAsked) {
  Worker worker("plain", 10ms, false);
  worker.start_thread();
  std::this_thread::sleep_for(50ms);
  worker.join();
  EXPECT_EQ(worker.timeouts, 0);
  EXPECT_EQ(worker.worker_thread, std::thread::id());
}

TEST(BlockWorker, AFailingWorkIsReportedAndRestarted) {
  class Flaky : public qor::Block {
   public:
    using Block::Block;
    ~Flaky() override { join(); }
    bool has_worker() const override { return true; }
    void work() override {
      if (++runs == 1) throw std::runtime_error("worker failed");
      while (worker_wait(10s)) {
      }
    }
    void report_error(const std::string& what) override { error = what; }
    std::atomic<int> runs{0};
    std::string error;  // worker thread, read after join
  } flaky("flaky-worker");
  flaky.start_thread();
  ASSERT_TRUE(wait_until([&] { return flaky.runs == 2; }));
  flaky.join();
  EXPECT_EQ(flaky.error, "worker failed");
}
