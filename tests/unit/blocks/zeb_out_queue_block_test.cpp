// The ZEBOUTQUEUE block on a loopback plane: order, the budget, the in-flight
// window, and what stays queued while the plane refuses or does not answer.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "blocks/queue/disk_queue.h"
#include "blocks/queue/zeb_out_queue_block.h"
#include "support/child_process.h"
#include "support/mosquitto_broker.h"
#include "zeb/status.h"

using namespace std::chrono_literals;
using weft_test::file_exists;
using weft_test::write_file;

namespace {

// What a restarted block would send: every unconsumed text, oldest first.
std::vector<std::string> stored_texts(const std::string& dir) {
  DiskQueue queue(dir, 1 << 20);
  std::vector<std::string> texts;
  for (std::string text; queue.next(text);) texts.push_back(text);
  return texts;
}

}  // namespace

namespace {

using nlohmann::json;

std::string rejection(const json& config, uint64_t available) {
  try {
    ZebOutQueueBlock::cache_budget(config, available);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<accepted>";
}

struct BudgetCase {
  const char* config;
  uint64_t available;
  uint64_t budget;
};

class CacheBudget : public ::testing::TestWithParam<BudgetCase> {};

}  // namespace

TEST_P(CacheBudget, FollowsSizeAndUnit) {
  const BudgetCase& c = GetParam();
  EXPECT_EQ(ZebOutQueueBlock::cache_budget(json::parse(c.config), c.available), c.budget)
      << c.config;
}

INSTANTIATE_TEST_SUITE_P(
    Units, CacheBudget,
    ::testing::Values(
        BudgetCase{R"({})", 1000, 900}, BudgetCase{R"({"max_cache_size": 0})", 1000, 900},
        BudgetCase{R"({"max_cache_size": 0, "max_cache_size_units": "tb"})", 1000, 900},
        BudgetCase{R"({"max_cache_size": 50})", 1000, 500},
        BudgetCase{R"({"max_cache_size": 100, "max_cache_size_units": "%"})", 1000, 1000},
        BudgetCase{R"({"max_cache_size": 33, "max_cache_size_units": "%"})", 1001, 330},
        BudgetCase{R"({"max_cache_size": 2, "max_cache_size_units": "gb"})", 1, 2147483648},
        BudgetCase{R"({"max_cache_size": 2, "max_cache_size_units": "GB"})", 1, 2147483648},
        BudgetCase{R"({"max_cache_size": 2, "max_cache_size_units": "kb"})", 1, 2048},
        BudgetCase{R"({"max_cache_size": 3, "max_cache_size_units": "Mb"})", 1, 3145728},
        BudgetCase{R"({"max_cache_size": 100, "max_cache_size_units": "b"})", 1, 100},
        BudgetCase{R"({"max_cache_size": 7.9, "max_cache_size_units": "b"})", 1, 7},
        // Beyond any disk: held at the largest signed 64-bit number, never wrapped.
        BudgetCase{R"({"max_cache_size": 1e30, "max_cache_size_units": "gb"})", 1,
                   9223372036854775807u},
        BudgetCase{R"({"max_cache_size": 18446744073709551615, "max_cache_size_units": "b"})", 1,
                   9223372036854775807u}));

TEST(CacheBudgetErrors, NameTheRejectedValue) {
  const std::string percent = "max_cache_size percentage must be an int in range (0-100)";
  EXPECT_EQ(rejection(json::parse(R"({"max_cache_size": 150, "max_cache_size_units": "%"})"), 1),
            percent);
  EXPECT_EQ(rejection(json::parse(R"({"max_cache_size": 101})"), 1), percent);
  EXPECT_EQ(rejection(json::parse(R"({"max_cache_size": -5})"), 1), percent);
  EXPECT_EQ(rejection(json::parse(R"({"max_cache_size": 5, "max_cache_size_units": "tb"})"), 1),
            "Invalid max_cache_size_units type");
  EXPECT_EQ(rejection(json::parse(R"({"max_cache_size": -5, "max_cache_size_units": "kb"})"), 1),
            "max_cache_size must not be negative");
  EXPECT_EQ(rejection(json::parse(R"({"max_cache_size": "10"})"), 1),
            "max_cache_size: [json.exception.type_error.302] type must be number, but is string");
  EXPECT_EQ(rejection(json::parse(R"({"max_cache_size": 10, "max_cache_size_units": 5})"), 1)
                .rfind("max_cache_size_units: ", 0),
            0u);
}

namespace {

// A ZEBOUTQUEUE block whose texts can be fed in without a chain, and whose
// deliveries on a "loop://" plane can be watched through its own client.
class QueueBlockProbe : public ZebOutQueueBlock {
 public:
  QueueBlockProbe(const std::string& name, const json& config) : ZebOutQueueBlock(name, config) {
    start_thread();
  }
  // Deliveries reach this probe's members, which die before the base stops.
  ~QueueBlockProbe() override { join(); }

  // As a linked block would: the block's own thread stores it.
  void feed(const std::string& text) { input_.push(text); }

  bool listen() { return client_->sub(node_ref_.c_str(), &QueueBlockProbe::received, this) == 200; }

  // Waits until `count` texts were delivered, or for `timeout`.
  bool wait_for(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    return arrived_.wait_for(guard, timeout, [&] { return texts_.size() >= count; });
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> guard(lock_);
    return texts_;
  }

 private:
  static void received(const char*, const char*, zeb::_Msg* msg, void* user) {
    auto* self = static_cast<QueueBlockProbe*>(user);
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      self->texts_.emplace_back(msg->data, msg->len);
    }
    self->client_->free_msg(msg);
    self->arrived_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<std::string> texts_;
};

class ZebOutQueueBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("ZEB_EXT_LIB_PATH");
    if (old != nullptr) old_path_ = old;
    had_path_ = old != nullptr;
    const std::string plugins =
        weft_test::build_dir() + "/ext_lib:" + weft_test::build_dir() + "/tests/ext_lib";
    ::setenv("ZEB_EXT_LIB_PATH", plugins.c_str(), 1);
    dir_ = weft_test::temp_path("block-queue");
  }
  void TearDown() override {
    if (had_path_) {
      ::setenv("ZEB_EXT_LIB_PATH", old_path_.c_str(), 1);
    } else {
      ::unsetenv("ZEB_EXT_LIB_PATH");
    }
  }

  json config(const std::string& transport_addr) const {
    return {{"transport_addr", transport_addr},
            {"method", "PUB"},
            {"node_ref", "out/t"},
            {"directory", dir_},
            {"log_level", "debug"}};
  }

  std::string dir_;
  std::string old_path_;
  bool had_path_ = false;
};

std::string construction_error(const json& config) {
  try {
    ZebOutQueueBlock block("q", config);
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<constructed>";
}

size_t count(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

}  // namespace

TEST_F(ZebOutQueueBlockTest, SendsTextsInOrderEmptyOnesIncluded) {
  json settings = config("loop://plane");
  settings["log_name"] = "queue_block_order";
  QueueBlockProbe block("q", settings);
  ASSERT_TRUE(block.listen());
  const std::vector<std::string> texts = {"first", "", "third", std::string(5000, 'x'), ""};
  for (const std::string& text : texts) block.feed(text);
  ASSERT_TRUE(block.wait_for(texts.size(), 10s));
  EXPECT_EQ(block.texts(), texts);
}

TEST_F(ZebOutQueueBlockTest, LogsBudgetAndDropsWhatDoesNotFit) {
  json settings = config("loop://plane");
  settings["log_name"] = "queue_block_full";
  settings["max_cache_size"] = 40;
  settings["max_cache_size_units"] = "B";
  testing::internal::CaptureStdout();
  {
    QueueBlockProbe block("q", settings);
    EXPECT_EQ(block.max_cache_bytes(), 40u);
    ASSERT_TRUE(block.listen());
    block.feed(std::string(25, 'y'));  // 41 bytes with its header
    block.feed(std::string(24, 'z'));
    EXPECT_TRUE(block.wait_for(1, 10s));
    EXPECT_EQ(block.texts(), (std::vector<std::string>{std::string(24, 'z')}));
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[info] ZEBOutQueueBlock: Max cache size in bytes: 40\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("[info] ZEBOutQueueBlock: Starting Queue Muncher thread\n"),
            std::string::npos);
  EXPECT_NE(out.find("[debug] ZebOutQueueBlock: Starting munching\n"), std::string::npos);
  EXPECT_NE(out.find("[error] Queue is full, unable to push data. code: 0. Dropping new data\n"),
            std::string::npos);
  EXPECT_NE(out.find("[debug] Pushed 24 bytes to queue\n"), std::string::npos);
  EXPECT_NE(out.find("[debug] Disk backed queue size in bytes: 0\n"), std::string::npos);
  EXPECT_NE(out.find("[debug] Successfully sent data\n"), std::string::npos);
}

TEST_F(ZebOutQueueBlockTest, DefaultBudgetIsNinetyPercentOfTheFreeSpace) {
  json settings = config("loop://plane");
  settings["log_name"] = "queue_block_default";
  QueueBlockProbe block("q", settings);
  const double available = static_cast<double>(boost::filesystem::space(dir_).available);
  EXPECT_NEAR(static_cast<double>(block.max_cache_bytes()), 0.9 * available, 0.01 * available);
}

TEST_F(ZebOutQueueBlockTest, BudgetAboveTheFreeSpaceIsWarnedAbout) {
  json settings = config("loop://plane");
  settings["log_name"] = "queue_block_warn";
  settings["max_cache_size"] = 1000000000;
  settings["max_cache_size_units"] = "gb";
  testing::internal::CaptureStdout();
  { QueueBlockProbe block("q", settings); }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[warning] Max cache size is greater then the ammount of disk space "
                     "available: (1073741824000000000/"),
            std::string::npos)
      << out;
}

TEST_F(ZebOutQueueBlockTest, RefusingPlaneIsRetriedWithGrowingPausesAndKeepsTheText) {
  json settings = config("mqtt-tcp://127.0.0.1:" + std::to_string(weft_test::free_port()));
  settings["log_name"] = "queue_block_refused";
  settings["log_level"] = "err";
  testing::internal::CaptureStdout();
  {
    QueueBlockProbe block("q", settings);
    block.feed("kept");
    std::this_thread::sleep_for(1500ms);
  }
  const std::string out = testing::internal::GetCapturedStdout();
  const size_t attempts = count(out, "[error] ZEB error:\n");
  // 10, 20, 40, ... ms apart: about eight attempts in 1.5 s, not thousands.
  EXPECT_GE(attempts, 4u) << out;
  EXPECT_LE(attempts, 12u);
  EXPECT_EQ(count(out, std::string("[error] \tError: ") + zeb::status_to_str(-4) + "\n"), attempts);
  EXPECT_EQ(count(out, "[error] \tCode:  -4\n"), attempts);
  EXPECT_EQ(stored_texts(dir_), (std::vector<std::string>{"kept"}));
}

TEST_F(ZebOutQueueBlockTest, ConstructionErrors) {
  json settings = config("loop://plane");
  settings.erase("directory");
  EXPECT_EQ(construction_error(settings), "Unable to find: directory in: " + settings.dump());

  settings["directory"] = "";
  EXPECT_EQ(construction_error(settings), "directory must not be empty");

  settings = config("loop://plane");
  write_file(dir_, "a file where the directory should be");
  settings["directory"] = dir_ + "/queue";
  EXPECT_EQ(construction_error(settings), "Unable to open, or create directory");

  settings = config("loop://plane");
  settings["directory"] = weft_test::temp_path("unused");
  settings["max_cache_size"] = 150;
  EXPECT_EQ(construction_error(settings),
            "max_cache_size percentage must be an int in range (0-100)");
  settings["max_cache_size_units"] = "kib";
  EXPECT_EQ(construction_error(settings), "Invalid max_cache_size_units type");
  settings["max_cache_size_units"] = 3;
  EXPECT_EQ(construction_error(settings).rfind("max_cache_size_units: ", 0), 0u);
  EXPECT_FALSE(file_exists(settings["directory"].get<std::string>()))
      << "a rejected configuration leaves no directory behind";
}

TEST_F(ZebOutQueueBlockTest, UnansweredPublishesStayQueuedAndFillOnlyTheWindow) {
  json settings = config("loop://plane");
  settings["log_name"] = "queue_block_hold";
  settings["options"] = {{"complete", "hold"}};
  settings["max_in_flight"] = 3;
  const std::vector<std::string> texts = {"a", "b", "c", "d", "e", "f"};
  {
    QueueBlockProbe block("q", settings);
    ASSERT_TRUE(block.listen());
    for (const std::string& text : texts) block.feed(text);
    ASSERT_TRUE(block.wait_for(3, 10s));
    EXPECT_FALSE(block.wait_for(4, 300ms)) << "more than the window went out unanswered";
    EXPECT_EQ(block.texts(), (std::vector<std::string>{"a", "b", "c"}));
  }
  // The plane never acknowledged: a restart sends every text again.
  EXPECT_EQ(stored_texts(dir_), texts);
}

TEST_F(ZebOutQueueBlockTest, FailedPublishIsSentAgainBeforeAnythingBehindIt) {
  json settings = config("loop://plane");
  settings["log_name"] = "queue_block_lost";
  settings["log_level"] = "err";
  settings["options"] = {{"complete", zeb::kConnectionError}};
  settings["max_in_flight"] = 2;
  testing::internal::CaptureStdout();
  {
    QueueBlockProbe block("q", settings);
    ASSERT_TRUE(block.listen());
    for (const char* text : {"a", "b", "c"}) block.feed(text);
    ASSERT_TRUE(block.wait_for(6, 10s));
    // The plane answers at once, so the failure of the oldest text is seen
    // before anything behind it goes out: it is sent again, alone.
    for (const std::string& text : block.texts()) EXPECT_EQ(text, "a");
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[error] \tCode:  -10\n"), std::string::npos) << out;
  EXPECT_EQ(stored_texts(dir_), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(ZebOutQueueBlockTest, AcknowledgedTextsLeaveTheQueue) {
  json settings = config("loop://plane");
  settings["log_name"] = "queue_block_acked";
  {
    QueueBlockProbe block("q", settings);
    ASSERT_TRUE(block.listen());
    for (int i = 0; i < 200; ++i) block.feed("t" + std::to_string(i));
    ASSERT_TRUE(block.wait_for(200, 10s));
  }
  EXPECT_TRUE(stored_texts(dir_).empty());
}

TEST_F(ZebOutQueueBlockTest, WindowOutOfRangeIsRejected) {
  json settings = config("loop://plane");
  for (const json& window : {json(0), json(-1), json(70000)}) {
    settings["max_in_flight"] = window;
    EXPECT_EQ(construction_error(settings), "max_in_flight must be an integer in range (1-65535)")
        << window;
  }
}
