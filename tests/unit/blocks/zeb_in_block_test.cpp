// ZEBIN's handling of a full output: wait for room ("overflow" "block", the
// default) or drop, count and report ("drop"); fed through the loopback plug-in,
// which delivers a publish synchronously to the subscription callback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "blocks/zeb/drop_counter.h"
#include "blocks/zeb/zeb_in_block.h"
#include "framework/sink_port.h"
#include "framework/status.h"
#include "zeb/status.h"

using namespace std::chrono_literals;

namespace {

// The plug-in search path at the test plug-ins for the whole of this program.
class LoopbackPlugins : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* build = std::getenv("WEFT_BUILD_DIR");
    const std::string dir = std::string(build != nullptr ? build : ".") + "/tests/ext_lib";
    ::setenv("ZEB_EXT_LIB_PATH", dir.c_str(), 1);
  }
};
const auto* const kPlugins = ::testing::AddGlobalTestEnvironment(new LoopbackPlugins);

nlohmann::json config(const char* overflow = nullptr) {
  nlohmann::json c = {{"transport_addr", "loop://here"}, {"method", "SUB"}, {"node_ref", "t"}};
  if (overflow != nullptr) c["overflow"] = overflow;
  return c;
}

// A ZEBIN whose test publishes on the block's own plane, so the message comes
// back through the block's subscription callback.
class FedZebIn : public ZebInBlock {
 public:
  using ZebInBlock::ZebInBlock;
  int publish(const std::string& text) {
    std::string copy = text;
    return client_->pub("t", copy.data(), copy.size());
  }
};

// A consumer that the test drains by hand.
class Consumer : public qor::Block {
 public:
  Consumer() : Block("consumer") { add_port(&input); }
  ~Consumer() override { join(); }
  qor::SinkPort<std::string> input{"input", 2};
};

bool subscribed(FedZebIn& block, Consumer& consumer) {
  // Probes until one arrives: the subscription is made on the block's thread.
  for (int i = 0; i < 200; ++i) {
    block.publish("probe");
    if (consumer.input.has_data()) {
      while (consumer.input.has_data()) consumer.input.receive();
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

}  // namespace

TEST(ZebInOverflow, ParsesBlockAndDropAndRejectsAnythingElse) {
  EXPECT_EQ(ZebInBlock::parse_overflow("in", config()), ZebInBlock::Overflow::kBlock);
  EXPECT_EQ(ZebInBlock::parse_overflow("in", config("block")), ZebInBlock::Overflow::kBlock);
  EXPECT_EQ(ZebInBlock::parse_overflow("in", config("drop")), ZebInBlock::Overflow::kDrop);
  try {
    ZebInBlock::parse_overflow("in", config("DROP-OLDEST"));
    FAIL() << "an unknown overflow must be refused";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "ERROR: ZEB Input Block: in unknown overflow: DROP-OLDEST valid values are "
                 "\"block\" and \"drop\"");
  }
  nlohmann::json numeric = config();
  numeric["overflow"] = 1;
  EXPECT_THROW(ZebInBlock::parse_overflow("in", numeric), std::invalid_argument);
  EXPECT_THROW(FedZebIn("bad", config("lossy")), std::invalid_argument);
}

TEST(ZebInOverflow, DropCountsEveryMessageThatFindsNoRoomAndReportsAtAPace) {
  Consumer consumer;
  {
    FedZebIn block("dropping-in", config("drop"));
    block.find_port("output")->connect(&consumer.input);
    block.start_thread();
    ASSERT_TRUE(subscribed(block, consumer));

    testing::internal::CaptureStderr();
    const uint64_t in_before = block.stats().in();
    const uint64_t out_before = block.stats().out();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(block.publish("m" + std::to_string(i)), zeb::kSuccess);
    EXPECT_EQ(block.dropped(), 8u) << "two fit, eight find the output full";
    // What a scrape shows: every message received, two handed on, eight dropped for overflow.
    EXPECT_EQ(block.stats().in() - in_before, 10u);
    EXPECT_EQ(block.stats().out() - out_before, 2u);
    EXPECT_EQ(block.stats().dropped(qor::DropReason::kOverflow), 8u);
    EXPECT_EQ(consumer.input.receive(), "m0");
    EXPECT_EQ(consumer.input.receive(), "m1");
    block.publish("m10");
    EXPECT_EQ(consumer.input.receive(), "m10");
    EXPECT_EQ(block.dropped(), 8u);
  }
  const std::string reports = testing::internal::GetCapturedStderr();
  // The first drop at once, the seven within the next 10 s when the block goes.
  const std::string first =
      "WARNING: ZebInBlock [dropping-in]: dropped 1 messages for lack of room downstream "
      "(\"overflow\": \"drop\"), 1 in all\n";
  const std::string last =
      "WARNING: ZebInBlock [dropping-in]: dropped 7 messages for lack of room downstream "
      "(\"overflow\": \"drop\"), 8 in all\n";
  EXPECT_EQ(reports, first + last);
}

TEST(ZebInOverflow, BlockWaitsForRoomAndLosesNothing) {
  FedZebIn block("waiting-in", config());
  Consumer consumer;
  block.find_port("output")->connect(&consumer.input);
  block.start_thread();
  ASSERT_TRUE(subscribed(block, consumer));

  std::atomic<int> published{0};
  std::thread network([&] {
    for (int i = 0; i < 50; ++i) {
      block.publish("m" + std::to_string(i));
      ++published;
    }
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(published, 2) << "the third message must wait for room, not be dropped";
  for (int i = 0; i < 50; ++i) EXPECT_EQ(consumer.input.receive(), "m" + std::to_string(i));
  network.join();
  EXPECT_EQ(block.dropped(), 0u);
}

TEST(ZebInOverflow, AWaitingMessageIsReleasedWhenTheConsumerStops) {
  FedZebIn block("stopping-in", config());
  Consumer consumer;
  block.find_port("output")->connect(&consumer.input);
  block.start_thread();
  ASSERT_TRUE(subscribed(block, consumer));
  block.publish("a");
  block.publish("b");
  std::atomic<bool> returned{false};
  std::thread network([&] {
    block.publish("c");
    returned = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned);
  consumer.stop();
  network.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(consumer.input.size(), 2u);
}

TEST(DropCounter, ReportsTheFirstDropAtOnceThenAtMostOncePerPeriod) {
  using Clock = DropCounter::Clock;
  DropCounter counter(10s);
  const Clock::time_point t0 = Clock::now();
  EXPECT_EQ(counter.count(t0), 1u);
  EXPECT_EQ(counter.count(t0 + 1s), 0u);
  EXPECT_EQ(counter.count(t0 + 9s), 0u);
  EXPECT_EQ(counter.count(t0 + 10s), 3u) << "the report gives the drops since the last one";
  EXPECT_EQ(counter.count(t0 + 11s), 0u);
  EXPECT_EQ(counter.count(t0 + 12s), 0u);
  EXPECT_EQ(counter.take_unreported(), 2u);
  EXPECT_EQ(counter.take_unreported(), 0u);
  EXPECT_EQ(counter.count(t0 + 20s), 1u);
  EXPECT_EQ(counter.total(), 7u);
}
