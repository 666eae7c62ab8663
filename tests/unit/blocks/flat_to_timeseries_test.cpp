#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/timeseries/flat_to_timeseries.h"
#include "unit/blocks/transform_harness.h"
#include "unit/lib/log_capture.h"

using nlohmann::json;

namespace {

const std::string kEmpty = R"({"body":[],"messageId":"weft-pipe"})";

std::string entry(const std::string& name, const std::string& time, const std::string& value) {
  return R"({"attributes":{"source":"ZEB"},"datapoints":[[)" + time + "," + value +
         R"(,3]],"name":")" + name + "\"}";
}

std::string record(const std::vector<std::string>& entries) {
  std::string body;
  for (const auto& e : entries) body += (body.empty() ? "" : ",") + e;
  return R"({"body":[)" + body + R"(],"messageId":"weft-pipe"})";
}

struct Case {
  const char* name;
  std::string input;
  std::string expected;  // empty: nothing is sent
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

class FlatToTimeseriesRecords : public ::testing::TestWithParam<Case> {};

TEST_P(FlatToTimeseriesRecords, OneRecordPerMessage) {
  FlatToTimeseries block("f2ts", json::object());
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
    , FlatToTimeseriesRecords,
    ::testing::Values(
        Case{"EmptyData", R"({"data":{},"timestamp":5})", kEmpty},
        Case{
            "MembersInKeyOrder",
            R"({"timestamp":1700000000000,"data":{"b":{"val":2},"a":{"val":"x","q":0},"C":{"val":true}}})",
            record({entry("C", "1700000000000", "true"), entry("a", "1700000000000", "\"x\""),
                    entry("b", "1700000000000", "2")})},
        Case{"FloatTimeTruncated", R"({"timestamp":1000.9,"data":{"v":{"val":1}}})",
             record({entry("v", "1000", "1")})},
        Case{"NegativeFloatTimeTruncatedTowardZero", R"({"timestamp":-1.5,"data":{"v":{"val":1}}})",
             record({entry("v", "-1", "1")})},
        Case{"LargestTime", R"({"timestamp":9223372036854775807,"data":{"v":{"val":1}}})",
             record({entry("v", "9223372036854775807", "1")})},
        Case{"SmallestTime", R"({"timestamp":-9223372036854775808,"data":{"v":{"val":1}}})",
             record({entry("v", "-9223372036854775808", "1")})},
        Case{"NullValIsEmitted", R"({"timestamp":1,"data":{"v":{"val":null}}})",
             record({entry("v", "1", "null")})},
        Case{"ValCopiedUnchanged", R"({"timestamp":1,"data":{"v":{"val":{"z":[1.0],"a":{}}}}})",
             record({entry("v", "1", R"({"a":{},"z":[1.0]})")})},
        Case{"NonObjectMembersSkipped",
             R"({"timestamp":1,"data":{"n":5,"s":"x","l":[],"v":{"val":0}}})",
             record({entry("v", "1", "0")})},
        Case{"OtherTopLevelMembersIgnored", R"({"timestamp":1,"source":"plc","data":{}})", kEmpty},
        Case{"DataArrayDropped", R"({"timestamp":1,"data":[{"val":1}]})", ""},
        Case{"DataStringDropped", R"({"timestamp":1,"data":"x"})", ""},
        Case{"DataNullDropped", R"({"timestamp":1,"data":null})", ""},
        Case{"DataMissingDropped", R"({"timestamp":1})", ""},
        Case{"NotAnObjectDropped", R"([{"data":{}}])", ""},
        Case{"NotJsonDropped", R"({"data":{})", ""},
        Case{"StringTimeDropped", R"({"timestamp":"1000","data":{"v":{"val":1}}})", ""},
        Case{"NullTimeDropped", R"({"timestamp":null,"data":{"v":{"val":1}}})", ""},
        Case{"BooleanTimeDropped", R"({"timestamp":true,"data":{"v":{"val":1}}})", ""},
        Case{"TimeAboveSignedRangeDropped",
             R"({"timestamp":9223372036854775808,"data":{"v":{"val":1}}})", ""},
        Case{"HugeFloatTimeDropped", R"({"timestamp":1e300,"data":{"v":{"val":1}}})", ""},
        Case{"HugeNegativeFloatTimeDropped", R"({"timestamp":-9.3e18,"data":{"v":{"val":1}}})",
             ""}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(FlatToTimeseries, WithoutTimestampTheCurrentTimeStampsEveryEntryWithAWarning) {
  LogCapture capture("f2ts-time");
  FlatToTimeseries block("f2ts", json{{"log_name", "f2ts-time"}, {"log_level", "warn"}});
  TransformHarness harness(block, {"output"});
  const int64_t before = now_ms();
  const auto sent = harness.feed_one(R"({"data":{"a":{"val":1},"b":{"val":2}}})");
  const int64_t after = now_ms();
  const std::string out = capture.text();
  ASSERT_EQ(sent.size(), 1u);
  const json record = json::parse(sent.front());
  ASSERT_EQ(record["body"].size(), 2u);
  const int64_t time = record["body"][0]["datapoints"][0][0].get<int64_t>();
  EXPECT_GE(time, before);
  EXPECT_LE(time, after);
  EXPECT_EQ(record["body"][1]["datapoints"][0][0].get<int64_t>(), time);
  // Once on the log (a warning line), once as a plain line of its own.
  EXPECT_NE(out.find("[warning] Unable to find timestamp\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nUnable to find timestamp\n"), std::string::npos) << out;
}

TEST(FlatToTimeseries, EmptyDataWithoutTimestampStillSendsAndWarns) {
  testing::internal::CaptureStdout();
  FlatToTimeseries block("f2ts", json::object());
  TransformHarness harness(block, {"output"});
  EXPECT_EQ(harness.feed_one(R"({"data":{}})"), std::vector<std::string>{kEmpty});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to find timestamp\n");
}

TEST(FlatToTimeseries, MemberWithoutValIsSkippedWithItsIndentedText) {
  LogCapture capture("f2ts-val");
  FlatToTimeseries block("f2ts", json{{"log_name", "f2ts-val"}, {"log_level", 0}});
  TransformHarness harness(block, {"output"});
  EXPECT_EQ(
      harness.feed_one(R"({"timestamp":3,"data":{"a":{"value":1,"q":[true]},"b":{"val":2}}})"),
      std::vector<std::string>{record({entry("b", "3", "2")})});
  const std::string out = capture.text();
  EXPECT_NE(out.find("[warning] WARN: Unable to parse member of flat json object, val is not "
                     "present {\n    \"q\": [\n        true\n    ],\n    \"value\": 1\n}\n"),
            std::string::npos)
      << out;
}

TEST(FlatToTimeseries, OnlyBrokenMessagesAreLoggedAsErrors) {
  LogCapture capture("f2ts-err");
  FlatToTimeseries block("f2ts", json{{"log_name", "f2ts-err"}, {"log_level", 0}});
  TransformHarness harness(block, {"output"});
  EXPECT_TRUE(harness.feed_one(R"({"data":[1],"timestamp":1})").empty());
  EXPECT_TRUE(harness.feed_one(R"({"timestamp":1,"data":{"n":5}})").size() == 1u);
  EXPECT_TRUE(harness.feed_one("{").empty());
  EXPECT_TRUE(harness.feed_one(R"({"data":{},"timestamp":"soon"})").empty());
  EXPECT_TRUE(harness.feed_one(R"({"data":{},"timestamp":1e19})").empty());
  const std::string out = capture.text();
  EXPECT_NE(out.find("[error] f2ts: dropped a message: not valid JSON: "
                     "[json.exception.parse_error.101]"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[error] f2ts: dropped a message: \"timestamp\" is a string, not a number\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[error] f2ts: dropped a message: \"timestamp\" 1e+19 does not fit a signed "
                     "64-bit integer\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
}

TEST(FlatToTimeseries, AttributesDefaultOnlyWhenAbsent) {
  const std::string message = R"({"timestamp":1,"data":{"v":{"val":1}}})";
  FlatToTimeseries absent("f2ts", json::object());
  FlatToTimeseries configured("f2ts2", json{{"attributes", {{"unit", "bar"}}}});
  FlatToTimeseries nulled("f2ts3", json{{"attributes", nullptr}});
  TransformHarness h1(absent, {"output"});
  TransformHarness h2(configured, {"output"});
  TransformHarness h3(nulled, {"output"});
  EXPECT_EQ(h1.feed_one(message).at(0), record({entry("v", "1", "1")}));
  EXPECT_EQ(
      h2.feed_one(message).at(0),
      R"({"body":[{"attributes":{"unit":"bar"},"datapoints":[[1,1,3]],"name":"v"}],"messageId":"weft-pipe"})");
  EXPECT_EQ(
      h3.feed_one(message).at(0),
      R"({"body":[{"attributes":null,"datapoints":[[1,1,3]],"name":"v"}],"messageId":"weft-pipe"})");
}
