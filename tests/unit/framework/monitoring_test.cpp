// The counting, silence and health parts of the framework that the
// monitoring endpoint reads.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "framework/block.h"
#include "framework/block_stats.h"
#include "framework/chain_health.h"
#include "framework/idle_watch.h"
#include "framework/metric_families.h"
#include "framework/sink_port.h"
#include "framework/source_port.h"
#include "framework/status.h"

using namespace std::chrono_literals;

namespace {

class Producer : public qor::Block {
 public:
  explicit Producer(const std::string& name) : Block(name) { add_port(&output); }
  qor::SourcePort<std::string> output{"output"};
};

class Consumer : public qor::Block {
 public:
  explicit Consumer(const std::string& name, size_t capacity = 4)
      : Block(name), input("input", capacity) {
    add_port(&input);
  }
  qor::SinkPort<std::string> input;
};

class Failing : public qor::Block {
 public:
  explicit Failing(const std::string& name) : Block(name) { add_port(&input); }
  void process(qor::Port*) override {
    input.receive();
    throw std::runtime_error("cannot handle this");
  }
  void report_error(const std::string&) override {}
  qor::SinkPort<std::string> input{"input"};
};

class Patient : public qor::Block {
 public:
  using Block::Block;
  bool is_healthy() override { return healthy; }
  std::string unhealthy_reason() const override { return "lost its connection"; }
  bool healthy = true;
};

}  // namespace

TEST(BlockStats, PortsCountWhatPassesAndFullQueuesCountNothing) {
  Producer producer("producer");
  Consumer consumer("consumer", 2);
  producer.output.connect(&consumer.input);
  EXPECT_EQ(producer.output.send("a"), qor::SUCCESS);
  EXPECT_EQ(producer.output.try_send("b"), qor::SUCCESS);
  EXPECT_EQ(producer.output.try_send("c"), qor::PORT_FULL);
  EXPECT_EQ(producer.stats().out(), 2u);
  EXPECT_EQ(consumer.stats().in(), 0u);
  EXPECT_EQ(consumer.input.receive(), "a");
  EXPECT_EQ(consumer.stats().in(), 1u);
  EXPECT_EQ(producer.stats().in(), 0u);
  EXPECT_EQ(consumer.stats().out(), 0u);

  qor::SourcePort<std::string> loose("loose");
  producer.add_port(&loose);
  EXPECT_EQ(loose.send("nowhere"), qor::NOT_CONNECTED);
  EXPECT_EQ(producer.stats().out(), 2u);
}

TEST(BlockStats, DropsAreCountedByReasonAndNamed) {
  qor::BlockStats stats;
  stats.count_drop(qor::DropReason::kBudget);
  stats.count_drop(qor::DropReason::kBudget);
  stats.count_drop(qor::DropReason::kRefused);
  EXPECT_EQ(stats.dropped(qor::DropReason::kBudget), 2u);
  EXPECT_EQ(stats.dropped(qor::DropReason::kRefused), 1u);
  EXPECT_EQ(stats.dropped(qor::DropReason::kOverflow), 0u);
  EXPECT_EQ(stats.dropped(qor::DropReason::kBadInput), 0u);
  EXPECT_STREQ(qor::drop_reason_name(qor::DropReason::kOverflow), "overflow");
  EXPECT_STREQ(qor::drop_reason_name(qor::DropReason::kBadInput), "bad_input");
  EXPECT_STREQ(qor::drop_reason_name(qor::DropReason::kBudget), "budget");
  EXPECT_STREQ(qor::drop_reason_name(qor::DropReason::kRefused), "refused");
}

TEST(BlockStats, ErrorsEscapingProcessAreCounted) {
  Producer producer("feeder");
  Failing failing("failing");
  producer.output.connect(&failing.input);
  failing.start_thread();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(producer.output.send("x"), qor::SUCCESS);
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (failing.stats().errors() < 3 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(10ms);
  }
  failing.join();
  EXPECT_EQ(failing.stats().errors(), 3u);
  EXPECT_EQ(failing.stats().in(), 3u);
}

TEST(IdleWatch, SilenceBeyondTheLimitIsToldOnceAndEndsWithData) {
  qor::IdleWatch watch;
  const auto t0 = qor::IdleWatch::Clock::now();
  watch.set_limit(2s);
  EXPECT_EQ(watch.look(5, t0), qor::IdleWatch::Clock::duration::zero());
  EXPECT_EQ(watch.look(5, t0 + 2s), qor::IdleWatch::Clock::duration::zero());
  EXPECT_EQ(watch.take_change(), 0);
  EXPECT_EQ(watch.look(5, t0 + 3s),
            std::chrono::duration_cast<qor::IdleWatch::Clock::duration>(3s));
  EXPECT_EQ(watch.take_change(), 1);
  EXPECT_EQ(watch.look(5, t0 + 4s),
            std::chrono::duration_cast<qor::IdleWatch::Clock::duration>(4s));
  EXPECT_EQ(watch.take_change(), 0);
  // One message more: the clock starts again from this look.
  EXPECT_EQ(watch.look(6, t0 + 5s), qor::IdleWatch::Clock::duration::zero());
  EXPECT_EQ(watch.take_change(), -1);
  EXPECT_EQ(watch.look(6, t0 + 7s), qor::IdleWatch::Clock::duration::zero());
  EXPECT_GT(watch.look(6, t0 + 8s), qor::IdleWatch::Clock::duration::zero());
}

TEST(IdleWatch, NoLimitNeverComplains) {
  qor::IdleWatch watch;
  const auto t0 = qor::IdleWatch::Clock::now();
  EXPECT_EQ(watch.look(0, t0), qor::IdleWatch::Clock::duration::zero());
  EXPECT_EQ(watch.look(0, t0 + 24h), qor::IdleWatch::Clock::duration::zero());
  EXPECT_EQ(watch.take_change(), 0);
}

TEST(ChainHealth, NamesEveryUnhealthyBlockWithItsReason) {
  Patient ok("ok");
  Patient down("down");
  Patient also_down("also-down");
  EXPECT_TRUE(qor::ChainHealth::problems().empty());
  down.healthy = false;
  also_down.healthy = false;
  const auto problems = qor::ChainHealth::problems();
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].block, "down");
  EXPECT_EQ(problems[0].reason, "lost its connection");
  EXPECT_EQ(problems[1].block, "also-down");
}

TEST(ChainHealth, ReadyOnceEveryBlockRunsAndEveryInputWasReady) {
  Patient input("input");
  Consumer sink("sink");
  input.healthy = false;
  EXPECT_FALSE(qor::ChainHealth::ready());  // no thread yet
  input.start_thread();
  sink.start_thread();
  EXPECT_FALSE(qor::ChainHealth::ready());  // the input never connected
  input.healthy = true;
  EXPECT_TRUE(qor::ChainHealth::ready());
  // Readiness, once reached, stays: a later loss is a matter of health.
  input.healthy = false;
  EXPECT_TRUE(qor::ChainHealth::ready());
  input.join();
  sink.join();
}

TEST(MetricFamilies, GroupsSamplesUnderOneHeaderAndEscapesLabels) {
  qor::MetricFamilies metrics;
  metrics.add("a_total", "counter", "First family", {{"block", "x"}}, 3);
  metrics.add("b", "gauge", "Second family", {}, 0.25);
  metrics.add("a_total", "counter", "ignored", {{"block", "say \"hi\"\\\n"}}, 12345678901);
  EXPECT_EQ(metrics.text(),
            "# HELP a_total First family\n"
            "# TYPE a_total counter\n"
            "a_total{block=\"x\"} 3\n"
            "a_total{block=\"say \\\"hi\\\"\\\\\\n\"} 12345678901\n"
            "# HELP b Second family\n"
            "# TYPE b gauge\n"
            "b 0.25\n");
}
