#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/block.h"
#include "framework/block_chain.h"
#include "framework/exception.h"
#include "framework/sink_port.h"
#include "framework/source_port.h"

using namespace std::chrono_literals;
using qor::SinkPort;
using qor::SourcePort;

namespace {

int connect_status(qor::Port& from, qor::Port* to) {
  try {
    from.connect(to);
    return qor::SUCCESS;
  } catch (const qor::Exception& e) {
    return e.code();
  }
}

// A sink whose test can make "room appeared, and was taken again" happen while
// a producer waits: exactly the case in which push must give way.
class RacingSink : public SinkPort<std::string> {
 public:
  using SinkPort::SinkPort;
  void signal_room_taken_again() {
    boost::lock_guard<boost::mutex> guard(lock_);
    not_full_.notify_all();
  }
  std::vector<std::string> contents() {
    boost::lock_guard<boost::mutex> guard(lock_);
    return {queue_.begin(), queue_.end()};
  }
};

// Records every message of its input, in its own thread, like a real block.
class Collector : public qor::Block {
 public:
  explicit Collector(const std::string& name) : Block(name) { add_port(&input); }
  ~Collector() override { join(); }
  void process(qor::Port*) override {
    std::string message = input.receive();
    if (message == "throw") throw std::runtime_error("bad message");
    std::lock_guard<std::mutex> guard(lock);
    seen.push_back(message);
  }
  void report_error(const std::string& what) override { errors.push_back(what); }
  std::vector<std::string> received() {
    std::lock_guard<std::mutex> guard(lock);
    return seen;
  }
  SinkPort<std::string> input{"input"};
  std::vector<std::string> errors;  // block thread only, read after join

 private:
  std::mutex lock;
  std::vector<std::string> seen;
};

bool wait_until(const std::function<bool()>& condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

}  // namespace

TEST(StatusText, KnownAndUnknownCodes) {
  EXPECT_EQ(qor::status_text(qor::SUCCESS), "Success");
  EXPECT_EQ(qor::status_text(qor::CANNOT_CONNECT), "Can't connect to port");
  EXPECT_EQ(qor::status_text(qor::NULL_PORT), "Port pointer is null");
  EXPECT_EQ(qor::status_text(qor::PORT_OWNED), "Unknown error code");
  EXPECT_EQ(qor::status_text(-1), "Unknown error code");
}

TEST(SinkQueue, ThirtyThirdTryPushIsRefusedAndOrderIsKept) {
  SinkPort<std::string> sink("in");
  for (int i = 0; i < 32; ++i) ASSERT_EQ(sink.try_push(std::to_string(i)), qor::SUCCESS);
  EXPECT_EQ(sink.try_push("32"), qor::PORT_FULL);
  EXPECT_EQ(sink.size(), 32u);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(sink.receive(), std::to_string(i));
  EXPECT_FALSE(sink.has_data());
}

TEST(SinkQueue, PushWaitsForRoomThenAppends) {
  SinkPort<std::string> sink("in");
  for (int i = 0; i < 32; ++i) sink.try_push(std::to_string(i));
  std::atomic<bool> done{false};
  std::thread producer([&] {
    sink.push("late");
    done = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(done) << "push must wait while the queue is full";
  // Woken once the queue is half empty, not for each free slot.
  for (int i = 0; i < 15; ++i) EXPECT_EQ(sink.receive(), std::to_string(i));
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(done) << "the producer was woken before the queue was half empty";
  EXPECT_EQ(sink.receive(), "15");
  producer.join();
  for (int i = 16; i < 32; ++i) EXPECT_EQ(sink.receive(), std::to_string(i));
  EXPECT_EQ(sink.receive(), "late");
}

TEST(SinkQueue, PushKeepsWaitingThroughASpuriousWakeAndNeverOverwrites) {
  RacingSink sink("in");
  for (int i = 0; i < 32; ++i) sink.try_push(std::to_string(i));
  std::atomic<bool> done{false};
  std::thread producer([&] {
    EXPECT_EQ(sink.push("newest"), qor::SUCCESS);
    done = true;
  });
  std::this_thread::sleep_for(100ms);  // let the producer reach its wait
  for (int i = 0; i < 5; ++i) sink.signal_room_taken_again();
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(done) << "a wake-up without room must not let push through";
  std::vector<std::string> contents = sink.contents();
  ASSERT_EQ(contents.size(), 32u);
  EXPECT_EQ(contents.front(), "0") << "the oldest message was overwritten";
  for (int i = 0; i < 16; ++i) EXPECT_EQ(sink.receive(), std::to_string(i));
  producer.join();
  EXPECT_TRUE(done);
  contents = sink.contents();
  ASSERT_EQ(contents.size(), 17u);
  EXPECT_EQ(contents.front(), "16");
  EXPECT_EQ(contents.back(), "newest");
}

TEST(SinkQueue, ProducersGoOnAtHalfAndNeverTakeMoreThanTheRoom) {
  SinkPort<std::string> sink("in", 4);
  for (int i = 0; i < 4; ++i) sink.try_push("old" + std::to_string(i));
  std::atomic<int> pushed{0};
  std::vector<std::thread> producers;
  for (const char* text : {"a", "b", "c"}) {
    producers.emplace_back([&, text] {
      sink.push(text);
      ++pushed;
    });
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sink.receive(), "old0");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(pushed, 0) << "woken before the queue was half empty";
  EXPECT_EQ(sink.receive(), "old1");  // room for exactly two of them
  ASSERT_TRUE(wait_until([&] { return pushed == 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(pushed, 2) << "the third producer must keep waiting";
  EXPECT_EQ(sink.size(), 4u);
  EXPECT_EQ(sink.receive(), "old2");
  EXPECT_EQ(sink.receive(), "old3");
  for (std::thread& producer : producers) producer.join();
  std::vector<std::string> rest;
  while (sink.has_data()) rest.push_back(sink.receive());
  std::sort(rest.begin(), rest.end());
  EXPECT_EQ(rest, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(SinkQueue, ManyProducersLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kEach = 2000;
  SinkPort<std::string> sink("in", 3);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&sink, p] {
      for (int i = 0; i < kEach; ++i) {
        ASSERT_EQ(sink.push(std::to_string(p) + ":" + std::to_string(i)), qor::SUCCESS);
      }
    });
  }
  std::vector<int> next(kProducers, 0);
  for (int n = 0; n < kProducers * kEach; ++n) {
    const std::string message = sink.receive();
    const size_t colon = message.find(':');
    const int p = std::stoi(message.substr(0, colon));
    EXPECT_EQ(std::stoi(message.substr(colon + 1)), next[p]) << "lost or reordered";
    next[p] = std::stoi(message.substr(colon + 1)) + 1;
  }
  for (auto& t : producers) t.join();
  EXPECT_FALSE(sink.has_data());
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kEach);
}

TEST(SinkQueue, PushReturnsBlockStoppedWhenTheOwnerStopsAndQueuesNothing) {
  qor::Block owner("owner");
  SinkPort<std::string> sink("in", 2);
  owner.add_port(&sink);
  sink.try_push("a");
  sink.try_push("b");
  std::atomic<int> result{-1};
  std::thread producer([&] { result = sink.push("c"); });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(result, -1) << "push must wait while the owner runs";
  owner.stop();
  producer.join();
  EXPECT_EQ(result, qor::BLOCK_STOPPED);
  EXPECT_EQ(sink.size(), 2u);
  // A stopped owner refuses at once, even with room.
  sink.receive();
  EXPECT_EQ(sink.push("d"), qor::BLOCK_STOPPED);
  EXPECT_EQ(qor::status_text(qor::BLOCK_STOPPED), "Block stopped");
}

TEST(SinkQueue, APortThatOutlivesItsBlockHasNoOwnerAndABlockForgetsDeadPorts) {
  auto port = std::make_unique<SinkPort<std::string>>("in");
  {
    qor::Block block("short-lived");
    block.add_port(port.get());
    EXPECT_EQ(port->owner(), &block);
  }
  EXPECT_EQ(port->owner(), nullptr);
  EXPECT_EQ(port->push("x"), qor::SUCCESS);

  qor::Block block("long-lived");
  {
    SinkPort<std::string> inner("inner");
    block.add_port(&inner);
    EXPECT_EQ(block.find_port("inner"), &inner);
  }
  EXPECT_EQ(block.find_port("inner"), nullptr);
  block.stop();  // must not touch the destroyed port
}

TEST(Links, AreOneSidedAndSingle) {
  SourcePort<std::string> out("out");
  SinkPort<std::string> in("in");
  SinkPort<std::string> other("other");
  SinkPort<int> wrong_type("ints");

  EXPECT_EQ(connect_status(in, &out), qor::CANNOT_CONNECT);  // sink to source
  EXPECT_EQ(connect_status(out, nullptr), qor::CANNOT_CONNECT);
  EXPECT_EQ(connect_status(out, &wrong_type), qor::CANNOT_CONNECT);
  EXPECT_EQ(connect_status(out, &in), qor::SUCCESS);
  EXPECT_EQ(connect_status(out, &other), qor::ALREADY_CONNECTED);
  EXPECT_EQ(out.connection_count(), 1u);
  EXPECT_EQ(in.connection_count(), 0u) << "the sink does not record the link";
  EXPECT_EQ(out.connection(0), &in);
  EXPECT_EQ(out.connection(1), nullptr);

  EXPECT_EQ(out.disconnect(&other), qor::NOT_CONNECTED);
  EXPECT_EQ(out.disconnect(&in), qor::SUCCESS);
  EXPECT_EQ(out.unlink(), qor::NOT_CONNECTED);
  EXPECT_EQ(connect_status(out, &in), qor::SUCCESS);
  EXPECT_EQ(out.unlink(), qor::SUCCESS);
  EXPECT_EQ(out.connection_count(), 0u);
}

TEST(Links, SendNeedsExactlyOneLink) {
  SourcePort<std::string> out("out");
  SinkPort<std::string> in("in");
  EXPECT_EQ(out.send("dropped"), qor::NOT_CONNECTED);
  EXPECT_EQ(out.try_send("dropped"), qor::NOT_CONNECTED);
  out.connect(&in);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(out.try_send("m"), qor::SUCCESS);
  EXPECT_EQ(out.try_send("m"), qor::PORT_FULL);
  EXPECT_EQ(in.size(), 32u);
}

TEST(Blocks, PortRegistration) {
  qor::Block a("a");
  qor::Block b("b");
  SinkPort<std::string> first("in");
  SinkPort<std::string> second("in");
  SinkPort<std::string> third("other");
  EXPECT_EQ(a.add_port(&first), qor::SUCCESS);
  EXPECT_EQ(a.add_port(&second), qor::PORT_EXISTS);
  EXPECT_EQ(a.find_port("in"), &first);
  EXPECT_EQ(second.owner(), nullptr);
  EXPECT_EQ(a.find_port("missing"), nullptr);
  EXPECT_EQ(b.add_port(&third), qor::SUCCESS);
  try {
    a.add_port(&third);
    FAIL() << "an owned port must not change owner";
  } catch (const qor::Exception& e) {
    EXPECT_EQ(e.code(), qor::PORT_OWNED);
  }
  EXPECT_EQ(third.owner(), &b);
}

TEST(Blocks, DefaultLoopHandsEveryMessageToProcessAndSurvivesErrors) {
  Collector collector("collector");
  SourcePort<std::string> out("out");
  out.connect(&collector.input);
  collector.start_thread();
  for (const char* m : {"one", "throw", "two", "three"}) ASSERT_EQ(out.send(m), qor::SUCCESS);
  ASSERT_TRUE(wait_until([&] { return collector.received().size() == 3; }));
  collector.join();
  EXPECT_EQ(collector.received(), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(collector.errors, std::vector<std::string>{"bad message"});
}

TEST(Blocks, AFailingRunIsRestartedNotFatal) {
  class Flaky : public qor::Block {
   public:
    using Block::Block;
    ~Flaky() override { join(); }
    void run() override {
      if (++runs < 2) throw std::runtime_error("first run fails");
      while (!stopping()) std::this_thread::sleep_for(1ms);
    }
    void report_error(const std::string& what) override { error = what; }
    std::atomic<int> runs{0};
    std::string error;
  } flaky("flaky");
  flaky.start_thread();
  ASSERT_TRUE(wait_until([&] { return flaky.runs == 2; }));
  flaky.join();
  EXPECT_EQ(flaky.error, "first run fails");
}

TEST(BlockChain, StartsThreadsInReverseConstructionOrderAndForgetsDestroyedBlocks) {
  static std::vector<std::string> started;
  class Starter : public qor::Block {
   public:
    using Block::Block;
    ~Starter() override { join(); }
    void start_thread() override {
      started.push_back(name());  // main thread: records the order of the calls
      Block::start_thread();
    }
  };
  const size_t before = qor::BlockChain::instance().blocks().size();
  {
    Starter first("first");
    Starter second("second");
    Starter third("third");
    auto blocks = qor::BlockChain::instance().blocks();
    ASSERT_EQ(blocks.size(), before + 3);
    EXPECT_EQ(blocks[before], &first);
    EXPECT_EQ(blocks[before + 2], &third);
    qor::BlockChain::instance().start();
    EXPECT_TRUE(first.has_thread());
    EXPECT_TRUE(third.has_thread());
  }
  EXPECT_EQ(started, (std::vector<std::string>{"third", "second", "first"}));
  EXPECT_EQ(qor::BlockChain::instance().blocks().size(), before);
}
