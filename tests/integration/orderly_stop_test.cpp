// weft-pipe's end on SIGTERM and SIGINT: what is inside the chain is
// delivered, the process exits 0, a deadline bounds the stop and a second
// signal cuts it short.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/opcua_test_server.h"
#include "support/weft_pipe_run.h"

using namespace std::chrono_literals;
using weft_test::ChildProcess;
using Clock = std::chrono::steady_clock;

namespace {

std::map<std::string, std::string> env_with(std::map<std::string, std::string> extra = {}) {
  extra["healthcheck_path"] = weft_test::temp_path("health");
  return extra;
}

// The counters that "d : <text> <n>" lines of a dump block carry, in order.
std::vector<long> dumped_counters(const std::string& out, const std::string& prefix) {
  std::vector<long> counters;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) != 0) continue;
    counters.push_back(std::stol(line.substr(prefix.size())));
  }
  return counters;
}

constexpr const char* kFlatOut = R"({
  "blocks": {
    "gen": {"type": "REPSTR", "config": {"delay": 0, "append_counter": "true", "test_string": "m"}},
    "d": {"type": "DUMPSTRINGBLOCK"}
  },
  "mappings": {"gen:output": "d:input"}
})";

// A repeater that sleeps 8 s between messages: taking its intake away keeps
// the stop busy that long.
constexpr const char* kSlowIntake = R"({
  "blocks": {
    "gen": {"type": "REPSTR", "config": {"delay": 8000, "test_string": "slow"}},
    "d": {"type": "DUMPSTRINGBLOCK"}
  },
  "mappings": {"gen:output": "d:input"}
})";

}  // namespace

TEST(OrderlyStop, SigtermDuringAFlatOutBurstDeliversEveryMessageAndExitsZero) {
  auto pipe = weft_test::run_weft_pipe(kFlatOut, env_with());
  ASSERT_TRUE(pipe->wait_for_output("d : m 20000\n", 20s)) << pipe->err();
  ::kill(pipe->pid(), SIGTERM);
  EXPECT_EQ(pipe->wait_exit(10s), 0) << pipe->err();
  const std::string out = pipe->out();
  EXPECT_NE(out.find("Stopped\n"), std::string::npos) << pipe->err();
  const std::vector<long> counters = dumped_counters(out, "d : m ");
  ASSERT_GT(counters.size(), 20000u);
  for (size_t i = 0; i < counters.size(); ++i) {
    ASSERT_EQ(counters[i], static_cast<long>(i))
        << "a message in the chain was lost at the stop: "
        << out.substr(out.find("d : m " + std::to_string(i - 2)), 200);
  }
}

TEST(OrderlyStop, SigintOnAnIdleChainExitsZeroQuickly) {
  auto pipe = weft_test::run_weft_pipe(R"({
    "blocks": {
      "gen": {"type": "REPSTR", "config": {"delay": 50, "test_string": "tick"}},
      "d": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"gen:output": "d:input"}
  })",
                                       env_with());
  ASSERT_TRUE(pipe->wait_for_output("d : tick\n", 10s)) << pipe->err();
  const auto start = Clock::now();
  ::kill(pipe->pid(), SIGINT);
  EXPECT_EQ(pipe->wait_exit(10s), 0) << pipe->err();
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_NE(pipe->out().find("Stopped\n"), std::string::npos);
}

TEST(OrderlyStop, WaitingForTheConfigFileEndsOnTheSignal) {
  ChildProcess pipe(weft_test::build_dir() + "/weft-pipe",
                    {"-f", weft_test::temp_path("not-there.json")}, env_with());
  ASSERT_TRUE(pipe.wait_for_output("Waiting for config file: ", 10s));
  ::kill(pipe.pid(), SIGTERM);
  EXPECT_EQ(pipe.wait_exit(5s), 0) << pipe.err();
}

TEST(OrderlyStop, ASecondSignalEndsTheStopAtOnce) {
  auto pipe = weft_test::run_weft_pipe(kSlowIntake, env_with());
  ASSERT_TRUE(pipe->wait_for_output("d : slow\n", 10s)) << pipe->err();
  ::kill(pipe->pid(), SIGTERM);
  ASSERT_TRUE(pipe->wait_for_output("Stopping", 5s));
  const auto start = Clock::now();
  ::kill(pipe->pid(), SIGINT);
  EXPECT_EQ(pipe->wait_exit(5s), 128 + SIGINT) << pipe->err();
  EXPECT_LT(Clock::now() - start, 3s) << "the second signal must not wait for the stop";
  EXPECT_NE(pipe->err().find("Second signal"), std::string::npos) << pipe->err();
}

TEST(OrderlyStop, TheDeadlineEndsAStuckStopAndSaysWhatWasLeft) {
  auto pipe = weft_test::run_weft_pipe(kSlowIntake, env_with({{"shutdown_timeout", "1"}}));
  ASSERT_TRUE(pipe->wait_for_output("d : slow\n", 10s)) << pipe->err();
  const auto start = Clock::now();
  ::kill(pipe->pid(), SIGTERM);
  EXPECT_EQ(pipe->wait_exit(6s), 1) << pipe->err();
  EXPECT_LT(Clock::now() - start, 5s);
  const std::string err = pipe->err();
  EXPECT_NE(err.find("ERROR: Orderly stop took longer than 1 s; left behind:\n"
                     "\tblock gen still stopping its intake\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(pipe->out().find("Stopped\n"), std::string::npos);
}

// An output whose broker stops answering keeps the chain full: the deadline
// ends the stop and names the link and what it still holds.
TEST(OrderlyStop, TheDeadlineListsTheLinksThatStillHoldMessages) {
  weft_test::MosquittoBroker broker;
  auto pipe =
      weft_test::run_weft_pipe(R"({
    "blocks": {
      "gen": {"type": "REPSTR", "config": {"delay": 0, "append_counter": "true"}},
      "out": {"type": "ZEBOUT", "config": {"transport_addr": "$BROKER", "method": "PUB",
              "node_ref": "held", "options": {"qos": 1}}}
    },
    "mappings": {"gen:output": "out:input"}
  })",
                               env_with({{"BROKER", broker.url()}, {"shutdown_timeout", "2"}}));
  weft_test::MqttTestClient subscriber(broker.port());
  ASSERT_TRUE(subscriber.subscribe("held", 1));
  ASSERT_TRUE(subscriber.wait_for(1, 20s)) << pipe->err();
  broker.pause();
  std::this_thread::sleep_for(1s);  // the chain fills up behind the silent broker
  ::kill(pipe->pid(), SIGTERM);
  const int status = pipe->wait_exit(10s);
  broker.resume();
  EXPECT_EQ(status, 1) << pipe->err();
  const std::string err = pipe->err();
  EXPECT_NE(err.find("ERROR: Orderly stop took longer than 2 s; left behind:\n"), std::string::npos)
      << err;
  // The generator waits with one more message for room in the link, which
  // the output left full or, having taken a few, not yet half empty.
  std::smatch held;
  ASSERT_TRUE(
      std::regex_search(err, held, std::regex("\tgen:output -> out:input holds (\\d+) messages\n")))
      << err;
  EXPECT_GE(std::stoi(held[1]), 1) << err;
  EXPECT_LE(std::stoi(held[1]), 32) << err;
}

TEST(OrderlyStop, ABadShutdownTimeoutEndsStartup) {
  for (const char* value : {"soon", "-1"}) {
    auto pipe = weft_test::run_weft_pipe(kSlowIntake, env_with({{"shutdown_timeout", value}}));
    EXPECT_EQ(pipe->wait_exit(10s), 1) << value;
    EXPECT_NE(pipe->err().find("ERROR: shutdown_timeout must be a non-negative integer"),
              std::string::npos)
        << pipe->err();
  }
}

// QoS 1 from a persistent session in, QoS 1 out: a SIGTERM in the middle of a
// burst loses nothing that the broker handed over, and what the broker still
// holds for the session comes after one restart.
TEST(OrderlyStop, SigtermDuringAQos1RelayBurstLosesNothingAcrossARestart) {
  weft_test::MosquittoBroker broker;
  weft_test::MqttTestClient subscriber(broker.port());
  ASSERT_TRUE(subscriber.subscribe("stop/out", 1));
  const std::string config = R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": "$BROKER", "method": "SUB",
             "node_ref": "stop/in", "options": {"qos": 1, "clientid": "orderly-stop-in"}}},
      "out": {"type": "ZEBOUT", "config": {"transport_addr": "$BROKER", "method": "PUB",
              "node_ref": "stop/out", "options": {"qos": 1}}}
    },
    "mappings": {"in:output": "out:input"}
  })";
  const auto env = env_with({{"BROKER", broker.url()}});
  auto pipe = weft_test::run_weft_pipe(config, env);
  weft_test::MqttTestClient publisher(broker.port());
  for (int i = 0; i < 200 && subscriber.messages().empty(); ++i) {
    publisher.publish("stop/in", "probe", 1);
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(subscriber.wait_for(1, 5s)) << pipe->err();

  constexpr int kMessages = 20000;
  std::thread burst([&] {
    for (int i = 0; i < kMessages; ++i) {
      if (!publisher.publish("stop/in", "n" + std::to_string(i), 1)) return;
    }
  });
  // The stop comes while the relay is busy: it has carried some of the burst.
  ASSERT_TRUE(subscriber.wait_for(1000, 30s)) << pipe->err();
  ::kill(pipe->pid(), SIGTERM);
  const size_t carried_before_stop = subscriber.messages().size();
  const int status = pipe->wait_exit(15s);
  burst.join();
  EXPECT_EQ(status, 0) << pipe->err();
  ASSERT_LT(carried_before_stop, static_cast<size_t>(kMessages)) << "the stop came too late";

  auto restarted = weft_test::run_weft_pipe(config, env);
  std::set<std::string> seen;
  const auto until = Clock::now() + 60s;
  while (Clock::now() < until) {
    seen.clear();
    for (const auto& message : subscriber.messages()) {
      if (message.second != "probe") seen.insert(message.second);
    }
    if (seen.size() == static_cast<size_t>(kMessages)) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kMessages)) << restarted->err();
  std::string missing;
  for (int i = 0; i < kMessages; ++i) {
    if (seen.count("n" + std::to_string(i)) == 0) missing += " n" + std::to_string(i);
  }
  EXPECT_EQ(missing, "") << "never arrived; first run printed: " << pipe->out() << pipe->err();
  ::kill(restarted->pid(), SIGTERM);
  EXPECT_EQ(restarted->wait_exit(15s), 0) << restarted->err();
}

namespace {

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

}  // namespace

// The server sees each OPC UA block close its session (CloseSession) and its
// secure channel (CloseSecureChannel) when the program stops, instead of
// keeping them until they time out.
TEST(OrderlyStop, OpcuaSessionsAndChannelsAreClosedOnTheServer) {
  weft_test::OpcuaTestServer server;
  auto pipe = weft_test::run_weft_pipe(R"({
    "blocks": {
      "poll": {"type": "OPCUAPOLLFLAT", "config": {"transport_addr": "$OPCUA", "interval": 200,
               "data_map": [{"id": "ns=1;s=Double", "alias": "d"}]}},
      "sub": {"type": "OPCUASUBFLAT", "config": {"transport_addr": "$OPCUA",
              "data_map": [{"id": "ns=1;s=Counter", "alias": "c"}]}},
      "polled": {"type": "DUMPSTRINGBLOCK"},
      "subscribed": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"poll:output": "polled:input", "sub:output": "subscribed:input"}
  })",
                                       env_with({{"OPCUA", server.url()}}));
  ASSERT_TRUE(pipe->wait_for_output("polled : ", 20s)) << pipe->err();
  ASSERT_TRUE(pipe->wait_for_output("subscribed : ", 20s)) << pipe->err();
  EXPECT_EQ(occurrences(server.log(), "session closed:"), 0u) << server.log();

  ::kill(pipe->pid(), SIGTERM);
  EXPECT_EQ(pipe->wait_exit(10s), 0) << pipe->err();
  // The server reports asynchronously; the closes were sent before the exit.
  const auto all_closed = [&server] {
    const std::string log = server.log();
    return occurrences(log, "session closed: CloseSession") ==
               occurrences(log, "session created") &&
           occurrences(log, "channel closed by the client") == occurrences(log, "channel opened");
  };
  const auto until = Clock::now() + 5s;
  while (Clock::now() < until && !all_closed()) std::this_thread::sleep_for(50ms);
  const std::string log = server.log();
  EXPECT_GE(occurrences(log, "session created"), 2u) << log;
  EXPECT_EQ(occurrences(log, "session closed: CloseSession"), occurrences(log, "session created"))
      << log;
  EXPECT_EQ(occurrences(log, "channel closed by the client"), occurrences(log, "channel opened"))
      << log;
}
