// weft-pipe with ZEBIN and ZEBOUT blocks against a real Mosquitto broker.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/weft_pipe_run.h"

using namespace std::chrono_literals;
using weft_test::ChildProcess;
using weft_test::MosquittoBroker;
using weft_test::MqttTestClient;

namespace {

class MqttBlocks : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> run(const std::string& config) {
    return weft_test::run_weft_pipe(
        config, {{"healthcheck_path", weft_test::temp_path("health")}, {"BROKER", broker_.url()}});
  }

  MosquittoBroker broker_;
};

}  // namespace

TEST_F(MqttBlocks, SubscriptionFeedsTheDumpBlock) {
  auto pipe = run(R"({
    "blocks": {
      "in": {"type": "zebin", "config": {"transport_addr": "$BROKER", "method": "sub",
                                          "node_ref": "plant/+/temp"}},
      "d": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"in:output": "d:input"}
  })");
  MqttTestClient publisher(broker_.port());
  // Publish until the block's subscription is in place, then the real messages.
  for (int i = 0; i < 100 && pipe->out().empty(); ++i) {
    publisher.publish("plant/probe/temp", "probe");
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(pipe->wait_for_output("d : probe\n", 5s)) << pipe->err();
  publisher.publish("plant/line1/temp", R"({"v":21.5})");
  publisher.publish("plant/line1/pressure", "not for us");
  publisher.publish("plant/line2/temp", "");
  ASSERT_TRUE(pipe->wait_for_output("d : \n", 5s)) << pipe->out();
  const std::string out = pipe->out();
  EXPECT_NE(out.find("d : {\"v\":21.5}\nd : \n"), std::string::npos) << out;
  EXPECT_EQ(out.find("not for us"), std::string::npos);
}

TEST_F(MqttBlocks, RepeaterPublishesThroughZebOut) {
  MqttTestClient subscriber(broker_.port());
  ASSERT_TRUE(subscriber.subscribe("out/topic"));
  auto pipe = run(R"({
    "blocks": {
      "gen": {"type": "REPSTR", "config": {"delay": 20, "append_counter": "true"}},
      "out": {"type": "ZEBOUT", "config": {"transport_addr": "$BROKER", "method": "Pub",
                                            "node_ref": "out/topic", "options": {"qos": 1}}}
    },
    "mappings": {"gen:output": "out:input"}
  })");
  ASSERT_TRUE(subscriber.wait_for(3, 30s)) << pipe->err();
  auto messages = subscriber.messages();
  EXPECT_EQ(messages[0], std::make_pair(std::string("out/topic"), std::string("Test 0")));
  EXPECT_EQ(messages[2].second, "Test 2");
}

TEST_F(MqttBlocks, RelayCarriesTenThousandMessagesInOrder) {
  MqttTestClient subscriber(broker_.port());
  ASSERT_TRUE(subscriber.subscribe("relay/out", 1));
  auto pipe = run(R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": "$BROKER", "method": "SUB",
                                          "node_ref": "relay/in", "options": {"qos": 1}}},
      "out": {"type": "ZEBOUT", "config": {"transport_addr": "$BROKER", "method": "PUB",
                                            "node_ref": "relay/out", "options": {"qos": 1}}}
    },
    "mappings": {"in:output": "out:input"}
  })");
  MqttTestClient publisher(broker_.port());
  for (int i = 0; i < 100 && subscriber.messages().empty(); ++i) {
    publisher.publish("relay/in", "probe", 1);
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(subscriber.wait_for(1, 5s)) << pipe->err();
  std::this_thread::sleep_for(200ms);  // late probes still on their way
  const size_t before = subscriber.messages().size();

  constexpr int kMessages = 10000;
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_TRUE(publisher.publish("relay/in", "m" + std::to_string(i), 1));
    if (i % 500 == 499) std::this_thread::sleep_for(20ms);  // a moderate, steady rate
  }
  ASSERT_TRUE(subscriber.wait_for(before + kMessages, 60s))
      << "received " << subscriber.messages().size() - before << " of " << kMessages;
  auto messages = subscriber.messages();
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_EQ(messages[before + i].second, "m" + std::to_string(i)) << "at " << i;
  }
}

TEST_F(MqttBlocks, GetAndSetOnAnMqttPlaneLogUnsupported) {
  auto pipe = run(R"({
    "blocks": {
      "poll": {"type": "ZEBIN", "config": {"transport_addr": "$BROKER", "method": "GET",
                                            "node_ref": "x", "interval": 100, "log_level": "err"}},
      "gen": {"type": "REPSTR", "config": {"delay": 100}},
      "set": {"type": "ZEBOUT", "config": {"transport_addr": "$BROKER", "method": "SET",
                                            "node_ref": "y", "log_level": "err"}}
    },
    "mappings": {"gen:output": "set:input"}
  })");
  ASSERT_TRUE(pipe->wait_for_output("[poll] [error] Error: -3", 10s)) << pipe->out();
  ASSERT_TRUE(pipe->wait_for_output("[set] [error] ZebOutBlock Err: -3", 10s)) << pipe->out();
}

TEST_F(MqttBlocks, ConfigurationErrorsEndStartup) {
  struct Case {
    const char* config;
    const char* error;
  };
  const Case cases[] = {
      {R"({"blocks":{"i":{"type":"ZEBIN","config":{"transport_addr":"$BROKER","method":"pub","node_ref":"t"}}},"mappings":{}})",
       "ERROR unable to initialize block: i of type: ZEBIN\n\tERROR: ZEB Input Block: i unknown "
       "method: PUB valid methods are \"SUB\" and \"GET\"\nERROR: Unable to initialize blocks\n"},
      {R"({"blocks":{"o":{"type":"ZEBOUT","config":{"transport_addr":"$BROKER","method":"get","node_ref":"t"}}},"mappings":{}})",
       "ERROR unable to initialize block: o of type: ZEBOUT\n\tERROR: ZEB Output Block: o unknown "
       "method: GET valid methods are \"PUB\" and \"SET\"\nERROR: Unable to initialize blocks\n"},
      {R"({"blocks":{"o":{"type":"ZEBOUT","config":{"method":"PUB","node_ref":"t"}}},"mappings":{}})",
       "ERROR unable to initialize block: o of type: ZEBOUT\n\tUnable to find: transport_addr in: "
       "{\"method\":\"PUB\",\"node_ref\":\"t\"}\nERROR: Unable to initialize blocks\n"},
      {R"({"blocks":{"i":{"type":"ZEBIN","config":{"transport_addr":"x://h","method":"GET","node_ref":"t"}}},"mappings":{}})",
       "ERROR unable to initialize block: i of type: ZEBIN\n\tUnable to find: interval in: "
       "{\"method\":\"GET\",\"node_ref\":\"t\",\"transport_addr\":\"x://h\"}\nERROR: Unable to "
       "initialize blocks\n"},
      {R"({"blocks":{"o":{"type":"ZEBOUT","config":{"transport_addr":"x://h","method":"PUB","node_ref":"t","options":"qos"}}},"mappings":{}})",
       "ERROR unable to initialize block: o of type: ZEBOUT\n\toptions must be of type "
       "object\nERROR: Unable to initialize blocks\n"},
  };
  for (const Case& c : cases) {
    auto pipe = run(c.config);
    EXPECT_EQ(pipe->wait_exit(20s), 1);
    EXPECT_EQ(pipe->err(), c.error);
  }
}

TEST_F(MqttBlocks, SubscriptionResumesAfterBrokerRestart) {
  auto pipe = run(R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": "$BROKER", "method": "SUB",
                                          "node_ref": "restart/t"}},
      "d": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"in:output": "d:input"}
  })");
  {
    MqttTestClient publisher(broker_.port());
    for (int i = 0; i < 100 && pipe->out().empty(); ++i) {
      publisher.publish("restart/t", "before");
      std::this_thread::sleep_for(50ms);
    }
  }
  ASSERT_TRUE(pipe->wait_for_output("d : before\n", 5s));
  broker_.stop();
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(broker_.start());
  MqttTestClient publisher(broker_.port());
  for (int i = 0; i < 150 && pipe->out().find("after") == std::string::npos; ++i) {
    publisher.publish("restart/t", "after");
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(pipe->wait_for_output("d : after\n", 1s));
  EXPECT_TRUE(pipe->running());
}
