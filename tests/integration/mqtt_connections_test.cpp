// weft-pipe's MQTT connections under broker faults: refusals, a lost broker and
// a slow output.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/fake_broker.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/weft_pipe_run.h"

using namespace std::chrono_literals;
using weft_test::ChildProcess;
using weft_test::FakeBroker;
using weft_test::MosquittoBroker;
using weft_test::MqttTestClient;

namespace {

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(50ms);
  return done();
}

std::string relay_config(const char* qos) {
  return std::string(R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": "$IN", "method": "SUB",
                                          "node_ref": "relay/in", "log_level": "err", "options": {"qos": )") +
         qos + R"(}}},
      "out": {"type": "ZEBOUT", "config": {"transport_addr": "$OUT", "method": "PUB",
                                            "node_ref": "relay/out", "log_level": "err", "options": {"qos": )" +
         qos + R"(}}}
    },
    "mappings": {"in:output": "out:input"}
  })";
}

}  // namespace

TEST(MqttConnections, ARefusingBrokerIsRetriedWithBackOffAndItsReason) {
  FakeBroker refusing(FakeBroker::Behaviour{5, false, true});
  auto pipe = weft_test::run_weft_pipe(
      R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": "$IN", "method": "SUB",
                                          "node_ref": "t"}},
      "d": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"in:output": "d:input"}
  })",
      {{"healthcheck_path", weft_test::temp_path("health")}, {"IN", refusing.url()}});
  // No "log_level": the reasons are shown all the same.
  // Attempts at 0, 1 and 3 s.
  std::this_thread::sleep_for(4500ms);
  EXPECT_TRUE(pipe->running());
  const std::string log = pipe->out() + pipe->err();
  EXPECT_GE(refusing.connections(), 2);
  EXPECT_LE(refusing.connections(), 4);
  // One line per attempt, in the broker's words.
  size_t lines = 0;
  const std::string line = "failed: refused by the broker: Connection Refused: not authorised.";
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
  EXPECT_EQ(lines, static_cast<size_t>(refusing.connections())) << log;
  // The subscription waits for the broker instead of failing once a second.
  EXPECT_EQ(log.find("Unable to subscribe"), std::string::npos) << log;
}

TEST(MqttConnections, TheHealthFileFollowsTheBroker) {
  MosquittoBroker broker;
  const std::string health = weft_test::temp_path("health");
  auto pipe = weft_test::run_weft_pipe(
      R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": "$IN", "method": "SUB",
                                          "node_ref": "t"}},
      "d": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"in:output": "d:input"}
  })",
      {{"healthcheck_path", health}, {"healthcheck_interval", "1"}, {"IN", broker.url()}});
  ASSERT_TRUE(wait_until([&] { return weft_test::file_exists(health); }, 5s)) << pipe->err();
  broker.stop();
  EXPECT_TRUE(wait_until([&] { return !weft_test::file_exists(health); }, 5s)) << pipe->err();
  ASSERT_TRUE(broker.start());
  EXPECT_TRUE(wait_until([&] { return weft_test::file_exists(health); }, 12s)) << pipe->err();
}

// ZEBIN -> ZEBOUT with the output broker frozen: the chain fills up, the input
// connection stops reading, and the input broker still never drops it.
TEST(MqttConnections, ASlowOutputDoesNotCostTheInputConnection) {
  MosquittoBroker input;
  MosquittoBroker output;
  auto pipe = weft_test::run_weft_pipe(relay_config("1"),
                                       {{"healthcheck_path", weft_test::temp_path("health")},
                                        {"IN", input.url()},
                                        {"OUT", output.url()}});
  MqttTestClient receiver(output.port());
  ASSERT_TRUE(receiver.subscribe("relay/out", 1));
  MqttTestClient sender(input.port());
  for (int i = 0; i < 100 && receiver.messages().empty(); ++i) {
    sender.publish("relay/in", "probe", 1);
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_FALSE(receiver.messages().empty()) << pipe->err();

  output.pause();
  std::string payload(1024, 'x');
  for (int i = 0; i < 3000; ++i) ASSERT_TRUE(sender.publish("relay/in", payload, 1));
  // Longer than the input broker waits for a sign of life (one and a half
  // keep-alive periods) plus its checking interval.
  std::this_thread::sleep_for(14s);
  output.resume();
  // ZEBOUT drops what comes while its own connection is still down: offer
  // marked messages until one arrives.
  const auto arrived = [&] {
    for (const auto& message : receiver.messages()) {
      if (message.second == "after") return true;
    }
    return false;
  };
  for (int i = 0; i < 150 && !arrived(); ++i) {
    sender.publish("relay/in", "after", 1);
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(arrived()) << pipe->out() << pipe->err();
  EXPECT_TRUE(pipe->running());
  const std::string log = input.log();
  ASSERT_NE(log.find("New client connected"), std::string::npos) << log;  // the log is read
  EXPECT_EQ(log.find("exceeded timeout"), std::string::npos) << log;
  const std::string pipe_log = pipe->out() + pipe->err();
  EXPECT_EQ(pipe_log.find("127.0.0.1:" + std::to_string(input.port()) + " lost"), std::string::npos)
      << pipe_log;
}
