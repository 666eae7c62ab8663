// What the orderly stop relies on: the chain order of linked blocks, the
// check that nothing is left inside the chain, and the report of what is.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "framework/block.h"
#include "framework/block_chain.h"
#include "framework/sink_port.h"
#include "framework/source_port.h"

using namespace std::chrono_literals;
using qor::BlockChain;

namespace {

// Forwards every message from "input" to "output", holding each one in
// `process` until the test lets it go.
class Relay : public qor::Block {
 public:
  explicit Relay(const std::string& name) : Block(name) {
    add_port(&input);
    add_port(&output);
  }
  ~Relay() override { join(); }
  void process(qor::Port*) override {
    std::string message = input.receive();
    inside = true;
    while (hold && !stopping()) std::this_thread::sleep_for(1ms);
    inside = false;
    output.send(std::move(message));
  }
  qor::SinkPort<std::string> input{"input"};
  qor::SourcePort<std::string> output{"output"};
  std::atomic<bool> hold{false};
  std::atomic<bool> inside{false};
};

class Source : public qor::Block {
 public:
  explicit Source(const std::string& name) : Block(name) { add_port(&output); }
  qor::SourcePort<std::string> output{"output"};
};

class Sink : public qor::Block {
 public:
  explicit Sink(const std::string& name) : Block(name) { add_port(&input); }
  ~Sink() override { join(); }
  void process(qor::Port*) override { input.receive(); }
  qor::SinkPort<std::string> input{"input"};
};

size_t position(const std::vector<qor::Block*>& order, const qor::Block& block) {
  return std::find(order.begin(), order.end(), &block) - order.begin();
}

bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

}  // namespace

TEST(ChainOrder, FeedersComeFirstWhateverTheConstructionOrder) {
  Sink z_sink("a-sink");  // constructed first, fed last
  Relay second("b-second");
  Relay first("c-first");
  Source in("d-in");
  in.output.connect(&first.input);
  first.output.connect(&second.input);
  second.output.connect(&z_sink.input);
  const std::vector<qor::Block*> order = BlockChain::chain_order({&z_sink, &second, &first, &in});
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order, (std::vector<qor::Block*>{&in, &first, &second, &z_sink}));
  EXPECT_TRUE(BlockChain::is_input(in));
  EXPECT_FALSE(BlockChain::is_input(first));
  EXPECT_FALSE(BlockChain::is_input(z_sink));
}

TEST(ChainOrder, ALoopOfLinksStillPlacesEveryBlockOnce) {
  Relay a("loop-a");
  Relay b("loop-b");
  Source in("loop-in");
  a.output.connect(&b.input);
  b.output.connect(&a.input);
  const std::vector<qor::Block*> order = BlockChain::chain_order({&a, &b, &in});
  ASSERT_EQ(order.size(), 3u);
  EXPECT_LT(position(order, in), 3u);
  EXPECT_LT(position(order, a), position(order, b)) << "construction order breaks the loop";
}

TEST(Drained, NotWhileALinkHoldsAMessageOrABlockHandlesOne) {
  Source in("drain-in");
  Relay relay("drain-relay");
  Sink out("drain-out");
  in.output.connect(&relay.input);
  relay.output.connect(&out.input);
  const std::vector<qor::Block*> order = BlockChain::chain_order({&in, &relay, &out});
  EXPECT_TRUE(BlockChain::drained(order));
  EXPECT_TRUE(BlockChain::held_messages(order).empty());

  // A message waiting in a link.
  relay.hold = true;
  in.output.send("first");
  EXPECT_FALSE(BlockChain::drained(order));
  EXPECT_EQ(BlockChain::held_messages(order),
            std::vector<std::string>{"drain-in:output -> drain-relay:input holds 1 messages"});

  // Taken from the link but still inside the relay.
  relay.start_thread();
  out.start_thread();
  ASSERT_TRUE(eventually([&] { return relay.inside.load(); }));
  EXPECT_EQ(relay.input.size(), 0u);
  EXPECT_FALSE(BlockChain::drained(order)) << "the relay still holds the message";
  EXPECT_TRUE(BlockChain::held_messages(order).empty());

  relay.hold = false;
  EXPECT_TRUE(eventually([&] { return BlockChain::drained(order); }));
  EXPECT_EQ(out.input.size(), 0u);
}
