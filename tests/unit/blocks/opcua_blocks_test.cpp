// The OPC UA blocks over a scripted OPC UA plane (tests/plugins, scheme "fakeua").
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "blocks/opcua/opcua_poll_block.h"
#include "blocks/opcua/opcua_sink_flat.h"
#include "blocks/opcua/opcua_subscribe_block.h"
#include "blocks/opcua/opcua_value_encoder.h"
#include "blocks/util/clock.h"
#include "framework/sink_port.h"
#include "framework/source_port.h"
#include "support/child_process.h"
#include "zeb/opcua_value_record.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// Takes whatever a block sends, on a thread of its own.
class Collector : public qor::Block {
 public:
  Collector() : Block("collector") { add_port(&input); }
  ~Collector() override { join(); }
  void process(qor::Port*) override {
    std::string text = input.receive();
    std::lock_guard<std::mutex> guard(lock_);
    messages_.push_back(std::move(text));
  }
  std::vector<std::string> wait_for(size_t count, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (messages_.size() >= count) return messages_;
      }
      std::this_thread::sleep_for(10ms);
    }
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
  }
  qor::SinkPort<std::string> input{"input"};

 private:
  std::mutex lock_;
  std::vector<std::string> messages_;
};

std::string rejection(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<accepted>";
}

class OpcuaBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("ZEB_EXT_LIB_PATH", (weft_test::build_dir() + "/tests/ext_lib_fakeua").c_str(), 1);
  }
  static json plane(json options) {
    return {{"transport_addr", "fakeua://server"}, {"options", std::move(options)}};
  }
  static void link(qor::Block& block, Collector& collector) {
    block.find_port("output")->connect(&collector.input);
    collector.start_thread();
    block.start_thread();
  }
};

}  // namespace

TEST(OpcuaValueEncoder, ByteForms) {
  std::string bytes;
  EXPECT_EQ(OpcuaValueEncoder::encode(opcua_value::kDouble, 12.5, bytes), 8u);
  double d;
  std::memcpy(&d, bytes.data(), 8);
  EXPECT_EQ(d, 12.5);
  OpcuaValueEncoder::encode(opcua_value::kUint16, 70000, bytes);
  EXPECT_EQ(bytes, std::string("\x70\x11", 2)) << "low 16 bits: 4464";
  OpcuaValueEncoder::encode(opcua_value::kInt8, 1.9, bytes);
  EXPECT_EQ(bytes, std::string("\x01", 1));
  OpcuaValueEncoder::encode(opcua_value::kInt32, -2.7, bytes);
  int32_t i;
  std::memcpy(&i, bytes.data(), 4);
  EXPECT_EQ(i, -2);
  EXPECT_EQ(OpcuaValueEncoder::encode(opcua_value::kString, "abc", bytes), 3u);
  EXPECT_EQ(bytes, std::string("abc\0", 4));
  EXPECT_EQ(OpcuaValueEncoder::encode(opcua_value::kBool, true, bytes), 1u);
  EXPECT_EQ(bytes, std::string("\x01", 1));
  OpcuaValueEncoder::encode(opcua_value::kUint64, 18446744073709551615ull, bytes);
  EXPECT_EQ(bytes, std::string(8, '\xff'));
}

TEST(OpcuaValueEncoder, RefusesWrongKindsAndUnrepresentableFloats) {
  std::string bytes;
  EXPECT_THROW(OpcuaValueEncoder::encode(opcua_value::kBool, 1, bytes), std::invalid_argument);
  EXPECT_THROW(OpcuaValueEncoder::encode(opcua_value::kInt32, "5", bytes), std::invalid_argument);
  EXPECT_THROW(OpcuaValueEncoder::encode(opcua_value::kString, 5, bytes), std::invalid_argument);
  EXPECT_THROW(OpcuaValueEncoder::encode(opcua_value::kUint8, 256.0, bytes), std::invalid_argument);
  EXPECT_THROW(OpcuaValueEncoder::encode(opcua_value::kUint32, -1.5, bytes), std::invalid_argument);
  EXPECT_THROW(OpcuaValueEncoder::encode(opcua_value::kInt64, 9.3e18, bytes),
               std::invalid_argument);
  EXPECT_THROW(OpcuaValueEncoder::encode(opcua_value::kFloat, 1e300, bytes), std::invalid_argument);
  EXPECT_NO_THROW(OpcuaValueEncoder::encode(opcua_value::kUint8, 255.9, bytes));
}

TEST_F(OpcuaBlocks, SubscribeSendsOneFlatMessagePerUpdate) {
  json config = plane({{"updates",
                        {{"ns=2;s=Temp", {R"({"type":"double","val":1.5,"extra":true})"}},
                         {"ns=2;s=Bad", {"", R"({"val":3})", "not json"}},
                         {"plain", {R"({"type":"string","val":"x"})"}}}}});
  config["data_map"] = {{{"id", "ns=2;s=Temp"}, {"alias", "old"}},
                        {{"id", "ns=2;s=Temp"}, {"alias", "A"}},
                        {{"id", "ns=2;s=Bad"}},
                        {{"id", "plain"}}};
  OpcuaSubscribeBlock block("sub", config);
  Collector collector;
  const int64_t before = now_milliseconds();
  link(block, collector);
  auto messages = collector.wait_for(2);
  std::this_thread::sleep_for(100ms);  // the bad updates would have arrived by now
  messages = collector.wait_for(2);
  block.join();
  ASSERT_EQ(messages.size(), 2u);
  std::sort(messages.begin(), messages.end());
  const json first = json::parse(messages[0]);
  EXPECT_EQ(first["data"], json::parse(R"({"A":{"type":"double","val":1.5}})"));
  EXPECT_GE(first["timestamp"].get<int64_t>(), before);
  EXPECT_LE(first["timestamp"].get<int64_t>(), now_milliseconds());
  EXPECT_EQ(messages[0].rfind(R"({"data":{"A":{"type":"double","val":1.5}},"timestamp":)", 0), 0u);
  EXPECT_EQ(json::parse(messages[1])["data"],
            json::parse(R"({"plain":{"type":"string","val":"x"}})"));
  EXPECT_TRUE(block.is_healthy());
}

TEST_F(OpcuaBlocks, SubscribeWritesWhatTheLibraryWouldDumpForAnyValue) {
  const std::vector<std::string> payloads = {
      R"({"val":{"z":[1,2.50,1e300,-0.0],"a":{"y":null,"b":"\u00fc\"\n"}},"type":"variant"})",
      R"({"type":"int64","val":-9223372036854775808,"type":"uint64"})",
      R"( {"type" : "float", "val" : 0.1 } )"};
  json config = plane({{"updates", {{"ns=2;s=X", payloads}}}});
  config["data_map"] = {{{"id", "ns=2;s=X"}, {"alias", "q\"\u00fc\t"}}};
  OpcuaSubscribeBlock block("sub", config);
  Collector collector;
  link(block, collector);
  const auto messages = collector.wait_for(payloads.size());
  block.join();
  ASSERT_EQ(messages.size(), payloads.size());
  for (size_t i = 0; i < payloads.size(); ++i) {
    const json value = json::parse(payloads[i]);
    json expected = {{"data", {{"q\"\u00fc\t", {{"type", value["type"]}, {"val", value["val"]}}}}},
                     {"timestamp", json::parse(messages[i])["timestamp"]}};
    EXPECT_EQ(messages[i], expected.dump()) << payloads[i];
  }
}

TEST_F(OpcuaBlocks, FailedSubscriptionsAreRetriedAndUnhealthyUntilThen) {
  json config = plane({{"fail_sub", {{"n1", 1}}}});
  config["data_map"] = {{{"id", "n1"}}};
  OpcuaSubscribeBlock block("retry", config);
  EXPECT_FALSE(block.is_healthy()) << "not subscribed yet";
  block.start_thread();
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(block.is_healthy()) << "the first attempt fails";
  bool healthy = false;
  for (int i = 0; i < 40 && !healthy; ++i) {
    std::this_thread::sleep_for(100ms);
    healthy = block.is_healthy();
  }
  block.join();
  EXPECT_TRUE(healthy) << "retried a second later";
}

TEST_F(OpcuaBlocks, UnhealthyConnectionMakesTheSubscriberUnhealthy) {
  json config = plane({{"healthy", false}});
  config["data_map"] = {{{"id", "n1"}}};
  OpcuaSubscribeBlock block("sick", config);
  block.start_thread();
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(block.is_healthy());
  block.join();

  json empty = plane(json::object());
  empty["data_map"] = nullptr;  // [] after environment substitution
  OpcuaSubscribeBlock nothing("nothing", empty);
  EXPECT_TRUE(nothing.is_healthy());
}

TEST_F(OpcuaBlocks, SubscribeAndPollConfigurationErrors) {
  auto sub = [](json config) { OpcuaSubscribeBlock("s", config); };
  EXPECT_EQ(rejection([&] {
              sub({{"transport_addr", "fakeua://x"}});
            }),
            R"(Unable to find: data_map in: {"transport_addr":"fakeua://x"})");
  EXPECT_EQ(rejection([&] {
              sub({{"transport_addr", "fakeua://x"}, {"data_map", 5}});
            }),
            "data_map must be of type array");
  EXPECT_EQ(rejection([&] {
              sub({{"transport_addr", "x"}, {"data_map", {{{"alias", "a"}}}}});
            }),
            "Object {\"alias\":\"a\"} in \u2018data_map\u2019 field of config must contain an "
            "'id' field");
  EXPECT_NE(rejection([&] {
              sub({{"transport_addr", "x"}, {"data_map", {{{"id", 7}}}}});
            }),
            "<accepted>");
  EXPECT_EQ(rejection([&] {
              sub({{"data_map", {{{"id", "n"}}}}});
            }),
            R"(Unable to find: transport_addr in: {"data_map":[{"id":"n"}]})");
  EXPECT_EQ(rejection([&] {
              OpcuaPollBlock(
                  "p",
                  {{"transport_addr", "fakeua://x"}, {"data_map", nullptr}, {"interval", "fast"}});
            }),
            "interval: [json.exception.type_error.302] type must be number, but is string");
}

TEST_F(OpcuaBlocks, PollSendsEveryNodeOncePerCycle) {
  json config = plane({{"values", {{"n1", 1.5}, {"n2", {{"x", 1}}}}}, {"raw", {{"n3", "abc"}}}});
  config["data_map"] = {{{"id", "n1"}, {"alias", "a"}}, {{"id", "n2"}, {"alias", "b"}}};
  config["interval"] = 50.7;
  OpcuaPollBlock block("poll", config);
  Collector collector;
  link(block, collector);
  auto messages = collector.wait_for(3);
  block.join();
  ASSERT_GE(messages.size(), 3u);
  for (const std::string& text : messages) {
    EXPECT_EQ(text.rfind(R"({"data":{"a":1.5,"b":{"x":1}},"timestamp":)", 0), 0u) << text;
  }
  EXPECT_TRUE(block.is_healthy());
}

TEST_F(OpcuaBlocks, PollLeavesOutFailedNodesAndReportsThem) {
  json config = plane({{"values", {{"good", true}}}, {"raw", {{"text", "abc"}}}});
  config["data_map"] = {{{"id", "good"}}, {{"id", "text"}}, {{"id", "missing"}}};
  config["interval"] = 20;
  OpcuaPollBlock block("partial", config);
  Collector collector;
  link(block, collector);
  auto messages = collector.wait_for(1);
  block.join();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(json::parse(messages[0])["data"], json::parse(R"({"good":true})"));
  EXPECT_FALSE(block.is_healthy());

  json none = plane(json::object());
  none["data_map"] = {{{"id", "missing"}}};
  none["interval"] = 20;
  OpcuaPollBlock failing("failing", none);
  Collector other;
  link(failing, other);
  messages = other.wait_for(1);
  failing.join();
  ASSERT_FALSE(messages.empty());
  EXPECT_TRUE(json::parse(messages[0])["data"].is_null()) << messages[0];
}

TEST_F(OpcuaBlocks, SinkWritesTypedRecordsAndDropsBadMessagesWhole) {
  const std::string records = weft_test::temp_path("records");
  json config = plane({{"record_file", records}});
  config["data_map"] = {{"ns=2;s=T(1)", {{"type", "double"}, {"aliases", {"A"}}}},
                        {"ns=2;s=Small", {{"type", "UINT16"}, {"aliases", {"B", "B2"}}}},
                        {"ns=2;s=Name", {{"type", "string"}, {"aliases", {"S"}}}},
                        {"ns=2;s=Flag", {{"type", "bool"}, {"aliases", {"F"}}}}};
  OpcuaSinkFlat sink("sink", config);
  qor::SourcePort<std::string> feed("feed");
  feed.connect(sink.find_port("input"));
  sink.start_thread();
  const char* messages[] = {
      R"({"data":{"A":{"type":"DOUBLE","val":12.5}},"timestamp":1})",
      R"({"data":{"A":{"type":"int32","val":3},"B":{"type":"uint16","val":70000}}})",
      R"({"data":{"S":{"type":"string","val":"abc"},"F":{"type":"bool","val":1}}})",
      R"({"data":{"S":{"type":"string","val":"ok"},"unknown":{"type":"int8","val":1}}})",
      R"({"data":{}})",
      R"({"nodata":1})",
      R"({"data":{"B2":{"type":"uint16","val":1e9}}})",
      R"({"data":{"F":{"type":"bool","val":false}}})",
  };
  for (const char* m : messages) feed.send(m);
  std::string written;
  for (int i = 0; i < 200 && std::count(written.begin(), written.end(), '\n') < 4; ++i) {
    std::this_thread::sleep_for(10ms);
    written = weft_test::read_file(records);
  }
  std::this_thread::sleep_for(100ms);
  sink.join();
  written = weft_test::read_file(records);
  EXPECT_EQ(written,
            "ns=2;s=T(1)|10|8|0000000000002940\n"  // 12.5
            "ns=2;s=Small|4|2|7011\n"              // 70000 -> 4464; A was the wrong type
            "ns=2;s=Name|11|2|6f6b00\n"            // "ok"; the bool 1 message wrote nothing
            "ns=2;s=Flag|0|1|00\n");
}

TEST_F(OpcuaBlocks, SinkConfigurationErrors) {
  auto sink = [](json data_map) {
    OpcuaSinkFlat("k", {{"transport_addr", "fakeua://x"}, {"data_map", data_map}});
  };
  EXPECT_EQ(rejection([&] {
              sink({{"n", {{"type", "Quaternion"}, {"aliases", {"a"}}}}});
            }),
            "Invalid type for opcua_sink_flat: Quaternion");
  EXPECT_EQ(rejection([&] {
              sink({{"n1", {{"type", "int8"}, {"aliases", {"a"}}}},
                    {"n2", {{"type", "int8"}, {"aliases", {"a"}}}}});
            }),
            "Can't have duplicate aliases in data_map");
  EXPECT_EQ(rejection([&] { sink(5); }), "data_map must be of type object");
  EXPECT_NE(rejection([&] { sink({{"n", {{"type", "int8"}}}}); }), "<accepted>");
  EXPECT_NE(rejection([&] { sink({{"n", {{"type", "int8"}, {"aliases", {1}}}}}); }), "<accepted>");
  EXPECT_EQ(rejection([&] {
              OpcuaSinkFlat("k", {{"data_map", json::object()}});
            }),
            R"(Unable to find: transport_addr in: {"data_map":{}})");
}
