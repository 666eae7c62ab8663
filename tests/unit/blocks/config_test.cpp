#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "blocks/config_block.h"
#include "blocks/config_getters.h"
#include "blocks/env_substitution.h"
#include "zeb/log.h"

using nlohmann::json;

namespace {

std::string rejection(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "<accepted>";
}

}  // namespace

TEST(ResolveValue, DollarRules) {
  ::setenv("WEFT_TEST_VAR", "value", 1);
  ::unsetenv("WEFT_TEST_UNSET");
  EXPECT_EQ(resolve_value("plain"), "plain");
  EXPECT_EQ(resolve_value(""), "");
  EXPECT_EQ(resolve_value("a$WEFT_TEST_VAR"), "a$WEFT_TEST_VAR");
  EXPECT_EQ(resolve_value("$WEFT_TEST_VAR"), "value");
  EXPECT_EQ(resolve_value("$WEFT_TEST_UNSET"), "");
  EXPECT_EQ(resolve_value("$"), "");
  EXPECT_EQ(resolve_value("$$x"), "$x");
  EXPECT_EQ(resolve_value("$$"), "$");
  EXPECT_EQ(resolve_value("$$$WEFT_TEST_VAR"), "$$WEFT_TEST_VAR");
}

TEST(SubstituteEnvironment, ResolvesValuesButNotNames) {
  ::setenv("WEFT_TEST_VAR", "value", 1);
  json input = json::parse(R"({
    "$WEFT_TEST_VAR": "$WEFT_TEST_VAR",
    "list": ["$WEFT_TEST_VAR", 1, true, null, [], {}],
    "nested": {"deep": {"s": "$$keep"}},
    "empty_object": {},
    "empty_array": [],
    "number": 2.5
  })");
  const json expected = json::parse(R"({
    "$WEFT_TEST_VAR": "value",
    "list": ["value", 1, true, null, null, null],
    "nested": {"deep": {"s": "$keep"}},
    "empty_object": null,
    "empty_array": null,
    "number": 2.5
  })");
  substitute_environment(input);
  EXPECT_EQ(input, expected);
  json empty = json::object();
  substitute_environment(empty);
  EXPECT_TRUE(empty.is_null());
}

TEST(ConfigGetters, DefaultsAndValues) {
  const json config = {{"n", 42},     {"f", -7.9},       {"big", 2147483647},
                       {"s", "text"}, {"o", {{"k", 1}}}, {"nulled", nullptr}};
  EXPECT_EQ(config_int(config, "n", 1), 42);
  EXPECT_EQ(config_int(config, "f", 1), -7) << "truncated toward zero";
  EXPECT_EQ(config_int(config, "big"), 2147483647);
  EXPECT_EQ(config_int(config, "absent", 5), 5);
  EXPECT_EQ(config_string(config, "s", "d"), "text");
  EXPECT_EQ(config_string(config, "absent", "d"), "d");
  EXPECT_EQ(config_string(config, "absent"), "");
  EXPECT_EQ(config_object(config, "o"), (json{{"k", 1}}));
  EXPECT_EQ(config_object(config, "absent"), json::object());
  EXPECT_EQ(config_object(config, "nulled"), json::object())
      << "an empty object arrives as null after substitution";
  // A configuration that is not an object has no keys at all.
  EXPECT_EQ(config_int(json::array({1}), "n", 3), 3);
  EXPECT_EQ(config_string(nullptr, "s", "d"), "d");
}

TEST(ConfigGetters, ErrorTexts) {
  const json config = {{"n", "12"},        {"b", true},    {"s", 5},
                       {"o", "x"},         {"huge", 1e12}, {"neg", -3000000000LL},
                       {"nulled", nullptr}};
  EXPECT_EQ(rejection([&] { config_int(config, "n", 0); }),
            "n: [json.exception.type_error.302] type must be number, but is string");
  EXPECT_EQ(rejection([&] { config_int(config, "b", 0); }),
            "b: [json.exception.type_error.302] type must be number, but is boolean");
  EXPECT_EQ(rejection([&] { config_int(config, "nulled", 0); }),
            "nulled: [json.exception.type_error.302] type must be number, but is null");
  EXPECT_EQ(rejection([&] { config_string(config, "s", ""); }),
            "s: [json.exception.type_error.302] type must be string, but is number");
  EXPECT_EQ(rejection([&] { config_object(config, "o"); }), "o must be of type object");
  EXPECT_EQ(rejection([&] {
              config_string_required(json{{"a", 1}}, "node_ref");
            }),
            R"(Unable to find: node_ref in: {"a":1})");
  EXPECT_EQ(rejection([&] { config_string_required(config, "s"); }),
            "s: [json.exception.type_error.302] type must be string, but is number");
  EXPECT_EQ(rejection([&] {
              config_int(json{{"a", 1}}, "missing");
            }),
            R"(Unable to find: missing in: {"a":1})");
  EXPECT_EQ(rejection([&] { config_int(config, "huge", 0); }),
            "huge: value 1000000000000.0 does not fit a 32-bit signed integer");
  EXPECT_EQ(rejection([&] { config_int(config, "neg", 0); }),
            "neg: value -3000000000 does not fit a 32-bit signed integer");
}

TEST(ConfigBlock, LogLevelFromNumberOrName) {
  auto level = [](const json& value) {
    return ConfigBlock::parse_log_level({{"log_level", value}});
  };
  EXPECT_EQ(ConfigBlock::parse_log_level(json::object()), 6);
  EXPECT_EQ(level(0), 0);
  EXPECT_EQ(level(3), 3);
  EXPECT_EQ(level("INFO"), 2);
  EXPECT_EQ(level("debug"), 1);
  EXPECT_EQ(level("Warn"), 3);
  EXPECT_EQ(level("err"), 4);
  EXPECT_EQ(level("critical"), 5);
  EXPECT_EQ(level("trace"), 6) << "only the listed names count";
  EXPECT_EQ(rejection([&] { level(true); }), "log_level must be an int or a string");
  EXPECT_EQ(rejection([&] { level(json::array({1})); }), "log_level must be an int or a string");
}

TEST(ConfigBlock, LogNameDefaultsToTheBlockNameAndCanBeShared) {
  ConfigBlock plain("plain-block", json::object());
  EXPECT_EQ(plain.log_name(), "plain-block");
  EXPECT_EQ(plain.logger(), zeb::get_log_safe("plain-block"));
  EXPECT_NE(plain.logger(), init_null_log());

  ConfigBlock one("one", {{"log_name", "shared-log"}, {"log_level", "info"}});
  ConfigBlock two("two", {{"log_name", "shared-log"}});
  EXPECT_EQ(one.logger(), two.logger());
  EXPECT_TRUE(one.config_ok());
}

TEST(ConfigBlock, AFailedBlockLeavesASharedLogAlone) {
  ConfigBlock keeper("keeper", {{"log_name", "kept-log"}});
  void* handle = zeb::get_log_safe("kept-log");
  EXPECT_THROW(ConfigBlock("failing", {{"log_name", "kept-log"}, {"log_level", true}}),
               std::invalid_argument);
  { ConfigBlock other("short-lived", {{"log_name", "kept-log"}}); }
  EXPECT_EQ(zeb::get_log_safe("kept-log"), handle);

  { ConfigBlock own("own-log-block", json::object()); }
  EXPECT_EQ(zeb::get_log_safe("own-log-block"), init_null_log()) << "its own log goes with it";
}

TEST(ConfigBlock, MaxIdleSetsTheSilenceLimitWithinRange) {
  ConfigBlock unwatched("unwatched", json::object());
  EXPECT_EQ(unwatched.idle_watch().limit(), std::chrono::seconds(0));
  ConfigBlock watched("watched", {{"max_idle_s", 90}});
  EXPECT_EQ(watched.idle_watch().limit(), std::chrono::seconds(90));
  for (const json& bad : {json(-1), json(7 * 24 * 3600 + 1)}) {
    try {
      ConfigBlock rejected("rejected", {{"max_idle_s", bad}});
      ADD_FAILURE() << "accepted " << bad.dump();
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "max_idle_s must be an integer in range (0-604800)");
    }
  }
  EXPECT_THROW(ConfigBlock("text", {{"max_idle_s", "10"}}), std::invalid_argument);
}

TEST(ConfigBlock, BadInputIsCountedAsDropped) {
  ConfigBlock block("reader", json::object());
  block.drop_bad_input("not valid JSON");
  block.drop_bad_input("not valid JSON");
  EXPECT_EQ(block.stats().dropped(qor::DropReason::kBadInput), 2u);
  EXPECT_EQ(block.stats().dropped(qor::DropReason::kOverflow), 0u);
}
