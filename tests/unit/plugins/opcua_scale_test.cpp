// Many changing items on one plane, against servers that limit the monitored
// items per call and per subscription and the Publish requests they hold:
// every item must keep delivering.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "opcua_test_plane.h"
#include "zeb/log.h"

using namespace std::chrono_literals;
using weft_test::Clock;
using weft_test::OpcuaPlane;
using weft_test::OpcuaTestServer;

namespace {

const char* const kPrefix = "ns=1;s=Bench.";

// Values per item, counted on the delivery thread.
struct Tally {
  explicit Tally(size_t n) : values(n) {
    for (auto& v : values) v = 0;
  }
  std::vector<std::atomic<uint64_t>> values;
  std::atomic<uint64_t> strangers{0};

  // Items that delivered fewer values than `floor` holds for them.
  size_t short_of(const std::vector<uint64_t>& floor) const {
    size_t silent = 0;
    for (size_t i = 0; i < values.size(); ++i) silent += values[i] <= floor[i] ? 1 : 0;
    return silent;
  }
  std::vector<uint64_t> snapshot() const {
    std::vector<uint64_t> copy(values.size());
    for (size_t i = 0; i < values.size(); ++i) copy[i] = values[i];
    return copy;
  }
  // Waits until every item has delivered more than `floor`; the items still
  // silent at the limit.
  size_t wait_all_beyond(const std::vector<uint64_t>& floor, std::chrono::seconds limit) const {
    const auto end = Clock::now() + limit;
    size_t silent = short_of(floor);
    while (silent > 0 && Clock::now() < end) {
      std::this_thread::sleep_for(200ms);
      silent = short_of(floor);
    }
    return silent;
  }
};

void count(const char*, const char* topic, zeb::_Msg* msg, void* user) {
  auto* tally = static_cast<Tally*>(user);
  std::free(msg->data);
  delete msg;
  const size_t prefix = std::strlen(kPrefix);
  if (std::strncmp(topic, kPrefix, prefix) != 0) {
    ++tally->strangers;
    return;
  }
  const size_t index = std::strtoul(topic + prefix, nullptr, 10);
  if (index < tally->values.size()) {
    ++tally->values[index];
  } else {
    ++tally->strangers;
  }
}

// A log file of the plug-in, printed when the test fails.
class Log {
 public:
  explicit Log(std::string name) : name_(std::move(name)), path_(weft_test::temp_path(name_)) {
    zeb::create_file_log(name_.c_str(), path_.c_str(), true);
    zeb::set_log_level(name_.c_str(), 1);
  }
  ~Log() {
    if (::testing::Test::HasFailure()) std::cerr << close();
  }
  const char* name() const { return name_.c_str(); }
  // Ends the log and gives all it holds.
  std::string close() {
    if (open_) zeb::destroy_log(name_.c_str());
    open_ = false;
    return weft_test::read_file(path_);
  }

 private:
  std::string name_;
  std::string path_;
  bool open_ = true;
};

const char* const kOptions =
    R"(,"timeout_ms":5000,"reconnect_max_ms":500,"publishing_interval_ms":100,)"
    R"("sampling_interval_ms":100,"queue_size":1)";

void subscribe_all(OpcuaPlane& plane, Tally& tally) {
  for (size_t i = 0; i < tally.values.size(); ++i) {
    const std::string ref = kPrefix + std::to_string(i);
    ASSERT_EQ(plane.client()->sub(ref.c_str(), count, &tally), zeb::kSuccess) << ref;
  }
}

}  // namespace

// 2,000 items at 10 changes a second are 20,000 values a second, and this
// server puts at most 10 in one Publish answer: the client must keep more
// requests outstanding than the three it starts with, up to the 30 the server
// holds, and every item must go on reporting. (10,000 items against the
// server's default of 1,000 per answer are measured by the bench.)
TEST(OpcuaScale, ChangingItemsAllDeliverAndKeepDelivering) {
  constexpr size_t kItems = 2000;
  OpcuaTestServer server({"--bench", std::to_string(kItems), "--items-per-subscription", "700",
                          "--items-per-call", "300", "--publish-requests", "30",
                          "--notifications-per-publish", "10"});
  Tally tally(kItems);
  Log log("opcua_scale_publish");
  {
    OpcuaPlane plane(server.url(), kOptions, "plane", log.name());
    // The limits are what the server states.
    EXPECT_EQ(plane.get("i=24104").second, R"({"type":"uint32","val":700})");
    EXPECT_EQ(plane.get("i=11714").second, R"({"type":"uint32","val":300})");
    subscribe_all(plane, tally);
    const std::vector<uint64_t> none(kItems, 0);
    EXPECT_EQ(tally.wait_all_beyond(none, 60s), 0u) << "items that never delivered";
    // Not only an initial value: every item goes on reporting its changes.
    const std::vector<uint64_t> mark = tally.snapshot();
    EXPECT_EQ(tally.wait_all_beyond(mark, 30s), 0u) << "items silent after their first value";
    EXPECT_EQ(tally.strangers, 0u);
    EXPECT_TRUE(plane.healthy());
  }
  // The window grew until the server refused one more, and stayed there.
  const std::string text = log.close();
  // Its first guesses count requests still on their way; it settles.
  const size_t refused = text.rfind(" holds at most ");
  ASSERT_NE(refused, std::string::npos);
  EXPECT_LE(std::stoul(text.substr(refused + 15)), 30u) << text.substr(refused, 60);
}

// Subscriptions made one node at a time, as a subscribe block makes them,
// reach the server in batches within its limit per call and spread over
// subscriptions within its limit per subscription; a node the server does
// not know yet holds none of the others back, stays unhealthy, and reports
// once the server has it.
TEST(OpcuaScale, SubscribesGoOutInBatchesWithinTheServerLimits) {
  constexpr size_t kItems = 1000;
  OpcuaTestServer server({"--bench", std::to_string(kItems), "--items-per-call", "200",
                          "--items-per-subscription", "450", "--late", "8000",
                          "--count-item-calls"});
  Tally tally(kItems);
  Log log("opcua_scale_batches");
  OpcuaPlane plane(server.url(), kOptions, "plane", log.name());
  subscribe_all(plane, tally);
  Tally late(1);
  ASSERT_EQ(plane.client()->sub("ns=1;s=Late", count, &late), zeb::kSuccess);

  const std::vector<uint64_t> none(kItems, 0);
  EXPECT_EQ(tally.wait_all_beyond(none, 30s), 0u) << "items that never delivered";
  EXPECT_TRUE(plane.healthy("ns=1;s=Bench.999"));
  EXPECT_FALSE(plane.healthy("ns=1;s=Late"));
  EXPECT_EQ(late.strangers, 0u);
  const auto end = Clock::now() + 20s;
  while (!plane.healthy("ns=1;s=Late") && Clock::now() < end) std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(plane.healthy("ns=1;s=Late"));
  while (late.strangers == 0 && Clock::now() < end) std::this_thread::sleep_for(50ms);
  EXPECT_GT(late.strangers, 0u) << log.close();

  // Every call within the limit, and far fewer calls than items.
  const std::string text = server.log();
  size_t calls = 0;
  size_t created = 0;
  for (size_t at = text.find("CreateMonitoredItems "); at != std::string::npos;
       at = text.find("CreateMonitoredItems ", at + 1)) {
    const size_t n = std::stoul(text.substr(at + 21));
    EXPECT_LE(n, 200u);
    ++calls;
    created += n;
  }
  EXPECT_GE(created, kItems + 1);
  EXPECT_LE(calls, 30u) << text.substr(0, 2000);
  EXPECT_EQ(tally.strangers, 0u);
}

// After a restart the items are restored by the connection thread in batches.
// This server does not state its limits, so the client learns them from its
// refusals: a batch too large for one call, a subscription that is full.
TEST(OpcuaScale, RestoredItemsFitLimitsTheServerDoesNotState) {
  constexpr size_t kItems = 1200;
  const std::vector<std::string> args{
      "--bench", std::to_string(kItems), "--items-per-call", "300", "--items-per-subscription",
      "500",     "--hide-limits"};
  OpcuaTestServer server(args);
  Tally tally(kItems);
  Log log("opcua_scale_restore");
  OpcuaPlane plane(server.url(), kOptions, "plane", log.name());
  EXPECT_NE(plane.get("i=24104").first, zeb::kSuccess);
  subscribe_all(plane, tally);
  const std::vector<uint64_t> none(kItems, 0);
  ASSERT_EQ(tally.wait_all_beyond(none, 60s), 0u);

  server.stop();
  ASSERT_TRUE(plane.wait_healthy(false, 5s));
  ASSERT_TRUE(server.start());
  ASSERT_TRUE(plane.wait_healthy(true, 30s));
  const std::vector<uint64_t> mark = tally.snapshot();
  EXPECT_EQ(tally.wait_all_beyond(mark, 60s), 0u) << "items not restored";
  EXPECT_EQ(tally.strangers, 0u);
}

// A value that decodes to far more than its wire size is refused with 413 and
// a log line, and the connection goes on serving.
TEST(OpcuaDecodeBudget, OversizedValueIs413AndTheConnectionStays) {
  OpcuaTestServer server({"--oversized", "400000"});
  Log log("opcua_oversized");
  {
    OpcuaPlane plane(server.url(), kOptions, "plane", log.name());
    ASSERT_EQ(plane.get("ns=1;s=ReadOnly.Int32").first, zeb::kSuccess);
    EXPECT_EQ(plane.get("ns=1;s=Oversized").first, zeb::kPayloadTooLarge);
    EXPECT_EQ(plane.get("ns=1;s=ReadOnly.Int32"),
              std::make_pair(static_cast<int>(zeb::kSuccess),
                             std::string(R"({"type":"int32","val":-32})")));
    EXPECT_TRUE(plane.healthy());
  }
  const std::string text = log.close();
  EXPECT_NE(text.find("[error] OPC UA: value of ns=1;s=Oversized from"), std::string::npos);
  EXPECT_EQ(text.find("lost"), std::string::npos) << text;
}
