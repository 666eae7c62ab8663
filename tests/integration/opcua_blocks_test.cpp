// weft-pipe's OPC UA blocks against a real OPC UA server (tests/opcua_server)
// and a real MQTT broker.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/mosquitto_broker.h"
#include "support/mqtt_test_client.h"
#include "support/opcua_test_server.h"
#include "support/weft_pipe_run.h"

using namespace std::chrono_literals;
using nlohmann::json;
using weft_test::ChildProcess;

namespace {

class OpcuaChains : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> run(const std::string& config,
                                    const std::string& health = weft_test::temp_path("health"),
                                    const std::string& interval = "1") {
    return weft_test::run_weft_pipe(config, {{"healthcheck_path", health},
                                             {"healthcheck_interval", interval},
                                             {"OPCUA", server_.url()},
                                             {"BROKER", broker_.url()}});
  }

  // Every line of standard output that parses as JSON.
  static std::vector<json> json_lines(const std::string& out, const std::string& prefix) {
    std::vector<json> lines;
    size_t start = 0;
    while (start < out.size()) {
      size_t end = out.find('\n', start);
      if (end == std::string::npos) break;
      const std::string line = out.substr(start, end - start);
      if (line.rfind(prefix, 0) == 0) lines.push_back(json::parse(line.substr(prefix.size())));
      start = end + 1;
    }
    return lines;
  }

  weft_test::OpcuaTestServer server_;
  weft_test::MosquittoBroker broker_;
};

}  // namespace

TEST_F(OpcuaChains, SubscriptionsBecomeTimeSeriesRecordsOnMqtt) {
  weft_test::MqttTestClient subscriber(broker_.port());
  ASSERT_TRUE(subscriber.subscribe("plant/ts"));
  auto pipe = run(R"({
    "blocks": {
      "sub": {"type": "OPCUASUBFLAT", "config": {"transport_addr": "$OPCUA",
              "data_map": [{"id": "ns=1;s=Counter", "alias": "counter"}, {"id": "ns=1;s=Ramp"}]}},
      "ts": {"type": "FLATTOTIMESERIES", "config": {"attributes": {"line": 1}}},
      "out": {"type": "ZEBOUT", "config": {"transport_addr": "$BROKER", "method": "PUB",
              "node_ref": "plant/ts"}}
    },
    "mappings": {"sub:output": "ts:input", "ts:output": "out:input"}
  })");
  ASSERT_TRUE(subscriber.wait_for(10, 20s)) << pipe->out() << pipe->err();
  std::set<std::string> names;
  for (const auto& [topic, payload] : subscriber.messages()) {
    const json record = json::parse(payload);
    ASSERT_EQ(record["messageId"], "weft-pipe") << payload;
    ASSERT_EQ(record["body"].size(), 1u) << payload;
    const json& entry = record["body"][0];
    EXPECT_EQ(entry["attributes"], json::parse(R"({"line":1})"));
    names.insert(entry["name"].get<std::string>());
    EXPECT_TRUE(entry["datapoints"][0][1].is_number()) << payload;
  }
  EXPECT_EQ(names, (std::set<std::string>{"counter", "ns=1;s=Ramp"}));
}

TEST_F(OpcuaChains, PollSendsEveryNodeEachCycle) {
  auto pipe = run(R"({
    "blocks": {
      "poll": {"type": "OPCUAPOLLFLAT", "config": {"transport_addr": "$OPCUA", "interval": 500,
               "data_map": [{"id": "ns=1;s=Double", "alias": "d"}, {"id": "ns=1;s=String", "alias": "s"},
                            {"id": "ns=1;s=Boolean", "alias": "b"}]}},
      "dump": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"poll:output": "dump:input"}
  })");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(pipe->wait_for_output("dump : ", 10s)) << pipe->err();
  std::vector<json> cycles;
  while (cycles.size() < 4 && std::chrono::steady_clock::now() - start < 15s) {
    std::this_thread::sleep_for(100ms);
    cycles = json_lines(pipe->out(), "dump : ");
  }
  ASSERT_GE(cycles.size(), 4u) << pipe->out();
  for (const json& cycle : cycles) {
    for (const char* alias : {"d", "s", "b"}) {
      ASSERT_TRUE(cycle["data"].contains(alias)) << cycle;
      EXPECT_TRUE(cycle["data"][alias].contains("type")) << cycle;
      EXPECT_TRUE(cycle["data"][alias].contains("val")) << cycle;
    }
  }
  EXPECT_EQ(cycles[0]["data"]["b"]["type"], "bool");
  EXPECT_EQ(cycles[0]["data"]["s"]["type"], "string");
  const int64_t gap = cycles[3]["timestamp"].get<int64_t>() - cycles[2]["timestamp"].get<int64_t>();
  EXPECT_GE(gap, 450);
  EXPECT_LE(gap, 1000);
}

TEST_F(OpcuaChains, MqttWritesReachOpcuaNodesOfEveryType) {
  auto pipe = run(R"({
    "blocks": {
      "in": {"type": "ZEBIN", "config": {"transport_addr": "$BROKER", "method": "SUB",
             "node_ref": "plant/write", "options": {"qos": 1}}},
      "sink": {"type": "OPCUASINKFLAT", "config": {"transport_addr": "$OPCUA", "log_level": "err",
               "data_map": {
                 "ns=1;s=Boolean": {"type": "bool", "aliases": ["bool"]},
                 "ns=1;s=SByte": {"type": "int8", "aliases": ["int8"]},
                 "ns=1;s=Byte": {"type": "uint8", "aliases": ["uint8"]},
                 "ns=1;s=Int16": {"type": "int16", "aliases": ["int16"]},
                 "ns=1;s=UInt16": {"type": "uint16", "aliases": ["uint16"]},
                 "ns=1;s=Int32": {"type": "int32", "aliases": ["int32"]},
                 "ns=1;s=UInt32": {"type": "uint32", "aliases": ["uint32"]},
                 "ns=1;s=Int64": {"type": "int64", "aliases": ["int64"]},
                 "ns=1;s=UInt64": {"type": "uint64", "aliases": ["uint64"]},
                 "ns=1;s=Float": {"type": "float", "aliases": ["float"]},
                 "ns=1;s=Double": {"type": "double", "aliases": ["double"]},
                 "ns=1;s=String": {"type": "string", "aliases": ["string"]},
                 "ns=1;s=DateTime": {"type": "datetime", "aliases": ["datetime"]}}}},
      "poll": {"type": "OPCUAPOLLFLAT", "config": {"transport_addr": "$OPCUA", "interval": 300,
               "data_map": [{"id": "ns=1;s=Boolean", "alias": "bool"}, {"id": "ns=1;s=SByte", "alias": "int8"},
                 {"id": "ns=1;s=Byte", "alias": "uint8"}, {"id": "ns=1;s=Int16", "alias": "int16"},
                 {"id": "ns=1;s=UInt16", "alias": "uint16"}, {"id": "ns=1;s=Int32", "alias": "int32"},
                 {"id": "ns=1;s=UInt32", "alias": "uint32"}, {"id": "ns=1;s=Int64", "alias": "int64"},
                 {"id": "ns=1;s=UInt64", "alias": "uint64"}, {"id": "ns=1;s=Float", "alias": "float"},
                 {"id": "ns=1;s=Double", "alias": "double"}, {"id": "ns=1;s=String", "alias": "string"},
                 {"id": "ns=1;s=DateTime", "alias": "datetime"}]}},
      "dump": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"in:output": "sink:input", "poll:output": "dump:input"}
  })");
  const json written = json::parse(R"({
    "bool": {"type": "bool", "val": false}, "int8": {"type": "int8", "val": -5},
    "uint8": {"type": "uint8", "val": 250}, "int16": {"type": "int16", "val": -1234},
    "uint16": {"type": "uint16", "val": 70000}, "int32": {"type": "int32", "val": -123456},
    "uint32": {"type": "uint32", "val": 4000000000}, "int64": {"type": "int64", "val": -9000000000},
    "uint64": {"type": "uint64", "val": 18000000000}, "float": {"type": "float", "val": 2.5},
    "double": {"type": "double", "val": 12.125}, "string": {"type": "string", "val": "written"},
    "datetime": {"type": "datetime", "val": "2026-01-02T03:04:05.678Z"},
    "nobody": {"type": "int8", "val": 1}
  })");
  const json expected = json::parse(R"({
    "bool": false, "int8": -5, "uint8": 250, "int16": -1234, "uint16": 4464, "int32": -123456,
    "uint32": 4000000000, "int64": -9000000000, "uint64": 18000000000, "float": 2.5,
    "double": 12.125, "string": "written", "datetime": "2026-01-02T03:04:05.678Z"
  })");
  weft_test::MqttTestClient publisher(broker_.port());
  const std::string message = json{{"data", written}, {"timestamp", 1}}.dump();
  bool all_written = false;
  json last;
  for (int i = 0; i < 100 && !all_written; ++i) {
    publisher.publish("plant/write", message, 1);
    std::this_thread::sleep_for(300ms);
    auto cycles = json_lines(pipe->out(), "dump : ");
    if (cycles.empty()) continue;
    last = cycles.back()["data"];
    all_written = true;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
      if (!last.contains(it.key()) || last[it.key()]["val"] != it.value()) all_written = false;
    }
  }
  EXPECT_TRUE(all_written) << last.dump() << "\n" << pipe->out().substr(0, 2000);
  EXPECT_EQ(last["uint16"]["type"], "uint16");

  publisher.publish("plant/write", R"({"data":{"double":{"type":"int32","val":3}},"timestamp":2})",
                    1);
  EXPECT_TRUE(
      pipe->wait_for_output("Got a int32 instead of expected type double for alias double", 10s))
      << pipe->out().substr(0, 2000);
}

TEST_F(OpcuaChains, HealthFileFollowsTheServer) {
  const std::string health = weft_test::temp_path("health");
  auto pipe = run(R"({
    "blocks": {
      "sub": {"type": "OPCUASUBFLAT", "config": {"transport_addr": "$OPCUA",
              "data_map": [{"id": "ns=1;s=Counter"}]}}
    },
    "mappings": {}
  })",
                  health, "1");
  auto wait_for_file = [&](bool present, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (weft_test::file_exists(health) == present) return true;
      std::this_thread::sleep_for(100ms);
    }
    return weft_test::file_exists(health) == present;
  };
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(wait_for_file(true, 10s));
  server_.stop();
  EXPECT_TRUE(wait_for_file(false, 30s)) << "the file must go while the server is down";
  ASSERT_TRUE(server_.start());
  EXPECT_TRUE(wait_for_file(true, 60s)) << "and come back once it is up again";
  EXPECT_TRUE(pipe->running());
}
