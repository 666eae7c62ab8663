#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/timeseries/json_to_timeseries.h"
#include "unit/blocks/transform_harness.h"
#include "unit/lib/log_capture.h"

using nlohmann::json;

namespace {

const std::string kEmpty = R"({"body":[],"messsageId":"weft-pipe"})";

// The record of the given entries (name, time text, value text) with the
// default attributes.
std::string record(const std::vector<std::vector<std::string>>& entries) {
  std::string body;
  for (const auto& e : entries) {
    if (!body.empty()) body += ",";
    body += R"({"attributes":{"source":"ZEB"},"datapoints":[[)" + e[1] + "," + e[2] +
            R"(,3]],"name":")" + e[0] + "\"}";
  }
  return R"({"body":[)" + body + R"(],"messsageId":"weft-pipe"})";
}

struct Case {
  const char* name;
  std::string input;
  std::string expected;  // empty: the message is dropped
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

}  // namespace

class JsonToTimeseriesRecords : public ::testing::TestWithParam<Case> {};

TEST_P(JsonToTimeseriesRecords, OneRecordPerMessage) {
  JsonToTimeseries block("j2ts", json::object());
  TransformHarness harness(block, {"output"});
  const std::vector<std::string> sent = harness.feed_one(GetParam().input);
  if (GetParam().expected.empty()) {
    EXPECT_TRUE(sent.empty()) << sent.front();
  } else {
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent.front(), GetParam().expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    , JsonToTimeseriesRecords,
    ::testing::Values(
        Case{"EmptyObject", "{}", kEmpty}, Case{"Null", "null", kEmpty},
        Case{"EmptyArray", " [] ", kEmpty},
        Case{"OneLeaf", R"({"dev":{"temp":{"timestamp":1000,"type":"double","val":21.5}}})",
             record({{"temp", "1000", "21.5"}})},
        Case{"LeafAtTopLevel", R"({"temp":{"val":1,"type":"int","timestamp":5,"unit":"C"}})",
             record({{"temp", "5", "1"}})},
        Case{"MissingTypeYieldsNothing", R"({"d":{"t":{"timestamp":1,"val":2}}})", kEmpty},
        Case{"NullTypeYieldsNothing", R"({"d":{"t":{"timestamp":1,"type":null,"val":2}}})", kEmpty},
        Case{"NullValYieldsNothing", R"({"t":{"timestamp":1,"type":"x","val":null}})", kEmpty},
        Case{
            "SameKeyUnderTwoParents",
            R"({"b":{"t":{"timestamp":2,"type":"x","val":"B"}},"a":{"t":{"timestamp":1,"type":"x","val":"A"}}})",
            record({{"t", "1", "\"A\""}, {"t", "2", "\"B\""}})},
        Case{"TimestampAndValCopiedUnchanged",
             R"({"t":{"timestamp":"2025-01-01","type":1,"val":[1,{"b":2,"a":1}]}})",
             record({{"t", "\"2025-01-01\"", R"([1,{"a":1,"b":2}])"}})},
        Case{"NumbersAsTheLibraryWritesThem", R"({"t":{"timestamp":1.50,"type":"d","val":1e2}})",
             record({{"t", "1.5", "100.0"}})},
        Case{"SiblingsInKeyOrderDepthFirst",
             R"({"b":{"z":{"timestamp":3,"type":"x","val":3}},
                 "a":{"y":{"timestamp":2,"type":"x","val":2},
                      "c":{"k":{"timestamp":1,"type":"x","val":1}}}})",
             record({{"k", "1", "1"}, {"y", "2", "2"}, {"z", "3", "3"}})},
        Case{"ValObjectIsWalkedAsTheNextLevel",
             R"({"outer":{"val":{"inner":{"timestamp":7,"type":"x","val":8}}}})",
             record({{"inner", "7", "8"}})},
        Case{"RepeatedKeyKeepsTheLastValue",
             R"({"t":{"timestamp":1,"type":"x","val":1},"t":{"timestamp":2,"type":"x","val":2}})",
             record({{"t", "2", "2"}})},
        Case{"NameIsEscaped", R"({"a\"b\n":{"timestamp":1,"type":"x","val":"\u00e9"}})",
             record({{"a\\\"b\\n", "1", "\"\xc3\xa9\""}})},
        Case{"NotJsonIsDropped", R"({"t":)", ""}, Case{"ScalarMessageIsDropped", "42", ""},
        Case{"NonEmptyArrayMessageIsDropped", "[{}]", ""},
        Case{"ScalarMemberDropsTheWholeMessage",
             R"({"a":{"timestamp":1,"type":"x","val":1},"site":"hall 2"})", ""},
        Case{"ArrayMemberDropsTheWholeMessage", R"({"list":[1]})", ""},
        Case{"ScalarBesideANestedValDropsTheMessage",
             R"({"t":{"timestamp":1,"val":{"x":{"timestamp":2,"type":"x","val":3}}}})", ""},
        Case{"EmptyArrayAndNullMembersAreSkipped", R"({"a":[],"b":null,"c":{}})", kEmpty}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(JsonToTimeseries, ConfiguredAttributesGoIntoEveryEntryUnchanged) {
  const std::string leaves =
      R"({"x":{"timestamp":1,"type":"t","val":1},"y":{"timestamp":2,"type":"t","val":2}})";
  struct Attributes {
    json config;
    std::string text;
  };
  for (const Attributes& a :
       {Attributes{json{{"site", "b"}, {"line", 3}}, R"({"line":3,"site":"b"})"},
        Attributes{nullptr, "null"}, Attributes{json::array({1, "a"}), R"([1,"a"])"}}) {
    JsonToTimeseries block("j2ts", json{{"attributes", a.config}});
    TransformHarness harness(block, {"output"});
    for (int round = 0; round < 2; ++round) {
      const auto sent = harness.feed_one(leaves);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent.front(),
                R"({"body":[{"attributes":)" + a.text +
                    R"(,"datapoints":[[1,1,3]],"name":"x"},{"attributes":)" + a.text +
                    R"(,"datapoints":[[2,2,3]],"name":"y"}],"messsageId":"weft-pipe"})");
    }
  }
}

TEST(JsonToTimeseries, PortsAreInputAndOutput) {
  JsonToTimeseries block("j2ts", json::object());
  EXPECT_NE(dynamic_cast<qor::SinkPort<std::string>*>(block.find_port("input")), nullptr);
  EXPECT_NE(dynamic_cast<qor::SourcePort<std::string>*>(block.find_port("output")), nullptr);
  EXPECT_EQ(block.ports().size(), 2u);
}

TEST(JsonToTimeseries, DroppedMessageIsLoggedOnceAndTheNextOneGoesThrough) {
  LogCapture capture("j2ts-log");
  JsonToTimeseries block("j2ts", json{{"log_name", "j2ts-log"}, {"log_level", 0}});
  TransformHarness harness(block, {"output"});
  EXPECT_TRUE(harness.feed_one("{oops").empty());
  EXPECT_TRUE(
      harness.feed_one(R"({"ok":{"timestamp":1,"type":"x","val":1},"bad":{"s":"x"}})").empty());
  EXPECT_EQ(harness.feed_one("{}"), std::vector<std::string>{kEmpty});
  const std::string log = capture.text();
  EXPECT_NE(log.find("j2ts: dropped a message: not valid JSON: [json.exception.parse_error.101]"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("j2ts: dropped a message: member \"s\" is a string, not an object"),
            std::string::npos)
      << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

TEST(JsonToTimeseries, StoppedBlockTakesNoMessage) {
  JsonToTimeseries block("j2ts", json::object());
  TransformHarness harness(block, {"output"});
  auto* input = dynamic_cast<qor::SinkPort<std::string>*>(block.find_port("input"));
  ASSERT_EQ(input->try_push("{}"), 0);
  block.stop();
  block.process(input);
  EXPECT_EQ(input->size(), 1u);
  EXPECT_EQ(harness.sink("output").size(), 0u);
}

TEST(JsonToTimeseries, SkippedLeavesLogNothing) {
  LogCapture capture("j2ts-quiet");
  JsonToTimeseries block("j2ts", json{{"log_name", "j2ts-quiet"}, {"log_level", 0}});
  TransformHarness harness(block, {"output"});
  EXPECT_EQ(
      harness.feed_one(R"({"t":{"timestamp":1,"val":2},"u":{"type":null,"timestamp":1,"val":2}})"),
      std::vector<std::string>{kEmpty});
  EXPECT_EQ(capture.text(), "");
}
