#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/splitter/basic_splitter_block.h"
#include "blocks/splitter/json_splitter_block.h"
#include "framework/source_port.h"
#include "unit/blocks/transform_harness.h"
#include "unit/lib/log_capture.h"

using nlohmann::json;
using Received = std::map<std::string, std::vector<std::string>>;

namespace {

std::string rejection(const std::function<void()>& make) {
  try {
    make();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<accepted>";
}

int error_lines(const std::string& log) {
  int count = 0;
  for (size_t at = log.find("[error]"); at != std::string::npos; at = log.find("[error]", at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

TEST(BasicSplitter, CopiesEveryMessageToEveryNumberedOutput) {
  BasicSplitterBlock block("split", json{{"output_count", 3}});
  EXPECT_EQ(block.find_port("output0"), nullptr);
  EXPECT_EQ(block.find_port("output4"), nullptr);
  EXPECT_EQ(block.ports().size(), 4u);
  TransformHarness harness(block, {"output1", "output2", "output3"});
  const std::string message = "not JSON at all {";
  EXPECT_EQ(harness.feed(message),
            (Received{{"output1", {message}}, {"output2", {message}}, {"output3", {message}}}));
}

TEST(BasicSplitter, AFullOrUnlinkedOutputLosesOnlyItsOwnCopy) {
  BasicSplitterBlock block("split", json{{"output_count", 3}});
  TransformHarness harness(block, {"output1", "output3"});  // output2 stays unlinked
  for (size_t i = 0; i < qor::SinkPort<std::string>::kDefaultCapacity; ++i) {
    ASSERT_EQ(harness.sink("output1").try_push("old"), 0);
  }
  const Received received = harness.feed("m");  // must not wait for output1's consumer
  EXPECT_EQ(received.at("output3"), std::vector<std::string>{"m"});
  EXPECT_EQ(std::count(received.at("output1").begin(), received.at("output1").end(), "m"), 0);
}

TEST(BasicSplitter, ZeroOrNegativeCountMakesNoOutputs) {
  for (int count : {0, -4}) {
    BasicSplitterBlock block("split", json{{"output_count", count}});
    EXPECT_EQ(block.ports().size(), 1u) << count;
    TransformHarness harness(block, {});
    EXPECT_TRUE(harness.feed("x").empty());
  }
}

TEST(BasicSplitter, CountMustBePresentAndANumber) {
  EXPECT_EQ(rejection([] {
              BasicSplitterBlock("s", json{{"log_level", 6}});
            }),
            R"(Unable to find: output_count in: {"log_level":6})");
  EXPECT_EQ(rejection([] {
              BasicSplitterBlock("s", json{{"output_count", "2"}});
            }),
            "output_count: [json.exception.type_error.302] type must be number, but is string");
}

TEST(BasicSplitter, LogsEachPortItAdds) {
  LogCapture capture("split-log");
  BasicSplitterBlock block(
      "split", json{{"output_count", 2}, {"log_name", "split-log"}, {"log_level", "info"}});
  const std::string out = capture.text();
  EXPECT_NE(out.find("[info] Adding port: output1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("[info] Adding port: output2\n"), std::string::npos) << out;
}

namespace {

json hot_and_cold() {
  return json{
      {"ports", {{"hot", {"temp", "hum"}}, {"cold", {"pressure"}}, {"never", {"nothing"}}}}};
}

}  // namespace

TEST(JsonSplitter, EachOutputGetsItsMembersOfDataAndEverythingElse) {
  testing::internal::CaptureStdout();
  JsonSplitterBlock block("js", hot_and_cold());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Adding port: cold\nAdding port: hot\nAdding port: never\n");
  TransformHarness harness(block, {"cold", "hot", "never"});
  const Received received = harness.feed(
      R"({"timestamp":5,"data":{"pressure":1.0,"temp":{"v":2,"a":1},"hum":3,"extra":4},"meta":{"z":1,"a":[]}})");
  EXPECT_EQ(received.at("hot"),
            std::vector<std::string>{
                R"({"data":{"hum":3,"temp":{"a":1,"v":2}},"meta":{"a":[],"z":1},"timestamp":5})"});
  EXPECT_EQ(
      received.at("cold"),
      std::vector<std::string>{R"({"data":{"pressure":1.0},"meta":{"a":[],"z":1},"timestamp":5})"});
  EXPECT_TRUE(received.at("never").empty());
}

TEST(JsonSplitter, NameListedButAbsentIsSimplyMissing) {
  JsonSplitterBlock block("js", hot_and_cold());
  TransformHarness harness(block, {"cold", "hot"});
  const Received received = harness.feed(R"({"data":{"hum":1}})");
  EXPECT_EQ(received.at("hot"), std::vector<std::string>{R"({"data":{"hum":1}})"});
  EXPECT_TRUE(received.at("cold").empty());
}

struct QuietCase {
  const char* name;
  const char* message;
  const char* logged;  // empty: nothing is logged
  friend void PrintTo(const QuietCase& c, std::ostream* os) { *os << c.name; }
};

class JsonSplitterSendsNothing : public ::testing::TestWithParam<QuietCase> {};

TEST_P(JsonSplitterSendsNothing, AndLogsOnlyBrokenMessages) {
  LogCapture capture("js-nothing");
  JsonSplitterBlock block(
      "js", json{{"ports", {{"all", {"a", "b"}}}}, {"log_name", "js-nothing"}, {"log_level", 0}});
  TransformHarness harness(block, {"all"});
  EXPECT_TRUE(harness.feed(GetParam().message).at("all").empty());
  EXPECT_EQ(harness.feed(R"({"data":{"a":1}})").at("all").size(), 1u) << "the block goes on";
  const std::string log = capture.text();
  if (*GetParam().logged == '\0') {
    EXPECT_EQ(error_lines(log), 0) << log;
  } else {
    EXPECT_NE(log.find(std::string("[error] js: dropped a message: ") + GetParam().logged),
              std::string::npos)
        << log;
    EXPECT_EQ(error_lines(log), 1) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    , JsonSplitterSendsNothing,
    ::testing::Values(
        QuietCase{"NoData", R"({"a":1})", ""}, QuietCase{"NullData", R"({"data":null,"a":1})", ""},
        QuietCase{"EmptyData", R"({"data":{}})", ""},
        QuietCase{"NoListedMember", R"({"data":{"c":1}})", ""},
        QuietCase{"NotJson", R"({"data":)", "not valid JSON: [json.exception.parse_error"},
        QuietCase{"NotAnObject", R"([{"data":{"a":1}}])", "the message is an array, not an object"},
        QuietCase{"NullMessage", "null", "the message is null, not an object"},
        QuietCase{"DataArray", R"({"data":[{"a":1}]})", "\"data\" is an array, not an object"},
        QuietCase{"DataEmptyArray", R"({"data":[]})", "\"data\" is an array, not an object"},
        QuietCase{"DataString", R"({"data":"a"})", "\"data\" is a string, not an object"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(JsonSplitter, AFullOutputDoesNotHoldUpTheOthers) {
  JsonSplitterBlock block("js", hot_and_cold());
  TransformHarness harness(block, {"cold", "hot"});
  for (size_t i = 0; i < qor::SinkPort<std::string>::kDefaultCapacity; ++i) {
    ASSERT_EQ(harness.sink("cold").try_push("old"), 0);
  }
  const Received received = harness.feed(R"({"data":{"pressure":1,"temp":2}})");
  EXPECT_EQ(received.at("hot"), std::vector<std::string>{R"({"data":{"temp":2}})"});
  EXPECT_EQ(std::count(received.at("cold").begin(), received.at("cold").end(), "old"), 32);
}

TEST(JsonSplitter, ConstructionErrors) {
  EXPECT_EQ(rejection([] {
              JsonSplitterBlock("js", json{{"x", 1}});
            }),
            R"(Unable to find: ports in: {"x":1})");
  EXPECT_EQ(rejection([] {
              JsonSplitterBlock("js", json{{"ports", "hot"}});
            }),
            "ports must be of type object");
  EXPECT_EQ(rejection([] {
              JsonSplitterBlock("js", json{{"ports", {{"hot", "temp"}}}});
            }),
            "Error data mapping object must contain an array");
  EXPECT_EQ(rejection([] {
              JsonSplitterBlock("js", json{{"ports", {{"hot", json::array({"temp", 3})}}}});
            }),
            "Error data mapping array of hot must contain only strings");
  EXPECT_EQ(rejection([] {
              JsonSplitterBlock("js", json{{"ports", {{"input", {"a"}}}}});
            }),
            "Error data mapping port input is the block's input port");
}

TEST(JsonSplitter, EmptyPortsAndEmptiedListsAreAccepted) {
  // Environment substitution turns {} and [] into null.
  JsonSplitterBlock none("js", json{{"ports", nullptr}});
  EXPECT_EQ(none.ports().size(), 1u);
  JsonSplitterBlock emptied("js2", json{{"ports", {{"idle", nullptr}}}});
  TransformHarness harness(emptied, {"idle"});
  EXPECT_TRUE(harness.feed(R"({"data":{"a":1}})").at("idle").empty());
}
