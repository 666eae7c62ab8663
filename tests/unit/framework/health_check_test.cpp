#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "framework/block.h"
#include "framework/fd_timer.h"
#include "framework/health_check.h"
#include "support/child_process.h"

using namespace std::chrono_literals;

namespace {

class Patient : public qor::Block {
 public:
  using Block::Block;
  bool is_healthy() override { return healthy; }
  std::atomic<bool> healthy{true};
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

}  // namespace

TEST(HealthCheck, FileFollowsTheHealthOfEveryBlock) {
  const std::string path = weft_test::temp_path("health");
  Patient a("a");
  Patient b("b");
  qor::HealthCheck check(path);

  check();
  EXPECT_TRUE(weft_test::file_exists(path));
  b.healthy = false;
  check();
  EXPECT_FALSE(weft_test::file_exists(path));
  check();  // already gone: nothing to remove, nothing reported
  EXPECT_FALSE(weft_test::file_exists(path));
  b.healthy = true;
  check();
  EXPECT_TRUE(weft_test::file_exists(path));
}

TEST(HealthCheck, CreateFileFailsInAMissingDirectory) {
  EXPECT_FALSE(qor::HealthCheck::create_file("/proc/version/health"));
  EXPECT_TRUE(qor::HealthCheck::create_file(weft_test::temp_path("health")));
}

TEST(FDTimer, DrivesTheHealthCheckEveryInterval) {
  const std::string path = weft_test::temp_path("health");
  Patient block("timed");
  qor::FDTimer timer(1);
  timer.set_callback(qor::HealthCheck(path));
  timer.start();
  EXPECT_TRUE(eventually([&] { return weft_test::file_exists(path); }, 3s));
  block.healthy = false;
  EXPECT_TRUE(eventually([&] { return !weft_test::file_exists(path); }, 3s));
  block.healthy = true;
  EXPECT_TRUE(eventually([&] { return weft_test::file_exists(path); }, 3s));
}

TEST(FDTimer, ZeroIntervalNeverFires) {
  std::atomic<int> calls{0};
  {
    qor::FDTimer timer(0);
    timer.set_callback([&] { ++calls; });
    timer.start();
    std::this_thread::sleep_for(1200ms);
  }  // the destructor ends the loop
  EXPECT_EQ(calls, 0);
}

TEST(FDTimer, NegativeIntervalIsRefusedByStart) {
  qor::FDTimer timer(-1);
  timer.set_callback([] {});
  try {
    timer.start();
    FAIL() << "a negative interval must not arm";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code().value(), EINVAL);
  }
}
