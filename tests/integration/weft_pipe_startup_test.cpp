// Runs the real weft-pipe binary and checks what it prints and how it exits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "support/child_process.h"

using namespace std::chrono_literals;
using weft_test::ChildProcess;

namespace {

std::string program() {
  return weft_test::build_dir() + "/weft-pipe";
}

// Environment of a clean run: no stray config, a health file of its own.
std::map<std::string, std::string> clean_env(const std::string& health_path) {
  return {{"config", weft_test::kUnset},
          {"healthcheck_path", health_path},
          {"healthcheck_interval", weft_test::kUnset}};
}

std::string write_config(const std::string& text) {
  const std::string path = weft_test::temp_path("config.json");
  weft_test::write_file(path, text);
  return path;
}

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run_to_exit(const std::vector<std::string>& args,
                    std::map<std::string, std::string> env = {}) {
  auto full_env = clean_env(weft_test::temp_path("health"));
  for (auto& [k, v] : env) full_env[k] = v;
  ChildProcess child(program(), args, full_env);
  const int status = child.wait_exit(20s);
  return {status, child.out(), child.err()};
}

Outcome run_config(const std::string& config, std::map<std::string, std::string> env = {}) {
  return run_to_exit({"-f", write_config(config)}, std::move(env));
}

}  // namespace

TEST(CommandLine, ListPrintsEveryTypeSortedAndIgnoresTheConfigFile) {
  Outcome r = run_to_exit({"-l", "-f", "/nonexistent/file.json"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Available block types: \n", 0), 0u) << r.out;
  std::vector<std::string> types;
  std::istringstream lines(r.out.substr(r.out.find('\n') + 1));
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.rfind("\t", 0), 0u) << line;
    types.push_back(line.substr(1));
  }
  EXPECT_TRUE(std::is_sorted(types.begin(), types.end()));
  for (const char* type : {"DUMPSTRINGBLOCK", "REPSTR", "ZEBIN", "ZEBOUT"}) {
    EXPECT_NE(std::find(types.begin(), types.end(), type), types.end()) << type;
  }
  EXPECT_EQ(r.out.find("Waiting"), std::string::npos);
}

TEST(CommandLine, HelpAndUnknownOptionsExitOneWithTheHelpText) {
  Outcome help = run_to_exit({"-h"});
  EXPECT_EQ(help.status, 1);
  EXPECT_NE(help.err.find("Display this help menu"), std::string::npos) << help.err;
  EXPECT_NE(help.err.find("Read the configuration from a"), std::string::npos);

  Outcome unknown = run_to_exit({"--no-such-option"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("no-such-option"), std::string::npos) << unknown.err;
  EXPECT_NE(unknown.err.find("List the available block types"), std::string::npos);

  Outcome missing_value = run_to_exit({"-f"});
  EXPECT_EQ(missing_value.status, 1);
}

TEST(ConfigFile, MissingFileWaitsForeverWithTheHealthFilePresent) {
  const std::string health = weft_test::temp_path("health");
  auto env = clean_env(health);
  env["healthcheck_interval"] = "1";
  ChildProcess child(program(), {"-f", "/nonexistent/weft.json"}, env);
  ASSERT_TRUE(child.wait_for_output("Waiting for config file: /nonexistent/weft.json\n", 10s));
  std::this_thread::sleep_for(2500ms);  // at least two health checks over the empty chain
  EXPECT_TRUE(child.running());
  EXPECT_TRUE(weft_test::file_exists(health));
  EXPECT_EQ(child.out(), "Waiting for config file: /nonexistent/weft.json\n");
}

TEST(ConfigFile, PathPrecedence) {
  // -f wins over $config.
  auto env = clean_env(weft_test::temp_path("health"));
  env["config"] = "/nonexistent/from-env.json";
  {
    ChildProcess child(program(), {"-f", "/nonexistent/from-flag.json"}, env);
    EXPECT_TRUE(child.wait_for_output("Waiting for config file: /nonexistent/from-flag.json", 10s));
  }
  {
    ChildProcess child(program(), {}, env);
    EXPECT_TRUE(child.wait_for_output("Waiting for config file: /nonexistent/from-env.json", 10s));
  }
  // An empty $config falls back to config.json in the working directory.
  env["config"] = "";
  {
    ChildProcess child(program(), {}, env, "/");
    EXPECT_TRUE(child.wait_for_output("Waiting for config file: config.json\n", 10s))
        << child.out();
  }
}

struct StartupError {
  const char* name;
  const char* config;
  const char* expected_err;
  friend void PrintTo(const StartupError& e, std::ostream* os) { *os << e.name; }
};

class StartupErrors : public ::testing::TestWithParam<StartupError> {};

TEST_P(StartupErrors, PrintTheLineAndExitOne) {
  Outcome r = run_config(GetParam().config);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, GetParam().expected_err);
}

INSTANTIATE_TEST_SUITE_P(
    , StartupErrors,
    ::testing::Values(
        StartupError{"ArrayDocument", "[1,2]",
                     "ERROR: Unable to read blocks portion of config file\n"},
        StartupError{"NoBlocks", R"({"mappings":{}})",
                     "ERROR: Unable to read blocks portion of config file\n"},
        StartupError{"BlocksAsString", R"({"blocks":"gen","mappings":{}})",
                     "ERROR: The blocks portion of config file must be an object\n"},
        StartupError{"MappingsAsNumber", R"({"blocks":{},"mappings":5})",
                     "ERROR: The mappings portion of config file must be an object\n"},
        StartupError{"NoMappings", R"({"blocks":{"d":{"type":"DUMPSTRINGBLOCK"}}})",
                     "ERROR: Unable to read mappings portion of config file\n"},
        StartupError{
            "DelayAsString",
            R"({"blocks":{"gen":{"type":"repstr","config":{"delay":"fast"}}},"mappings":{}})",
            "ERROR unable to initialize block: gen of type: REPSTR\n"
            "\tdelay: [json.exception.type_error.302] type must be number, but is "
            "string\nERROR: Unable to initialize blocks\n"},
        StartupError{
            "AppendCounterAsBool",
            R"({"blocks":{"gen":{"type":"REPSTR","config":{"append_counter":true}}},"mappings":{}})",
            "ERROR unable to initialize block: gen of type: REPSTR\n"
            "\tappend_counter: [json.exception.type_error.302] type must be string, but "
            "is boolean\nERROR: Unable to initialize blocks\n"},
        StartupError{
            "LogLevelAsBool",
            R"({"blocks":{"d":{"type":"DUMPSTRINGBLOCK","config":{"log_level":true}}},"mappings":{}})",
            "ERROR unable to initialize block: d of type: DUMPSTRINGBLOCK\n"
            "\tlog_level must be an int or a string\nERROR: Unable to initialize blocks\n"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(StartupErrorsText, SyntaxErrorPrintsTheParserText) {
  Outcome r = run_config("{\"blocks\": ");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("ERROR: Unable to parse JSON\n\t[json.exception.parse_error.101]", 0), 0u)
      << r.err;
}

TEST(StartupErrorsText, DirectoryAsConfigIsAnEmptyStream) {
  Outcome r = run_to_exit({"-f", "/tmp"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("ERROR: Unable to parse JSON\n\t", 0), 0u) << r.err;
}

TEST(StartupErrorsText, HealthIntervalMustBeAnInteger) {
  Outcome r = run_to_exit({"-f", "/nonexistent.json"}, {{"healthcheck_interval", "abc"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: healthcheck_interval must be an integer\n");

  Outcome too_big =
      run_to_exit({"-f", "/nonexistent.json"}, {{"healthcheck_interval", "99999999999"}});
  EXPECT_EQ(too_big.status, 1);
  EXPECT_EQ(too_big.err, "ERROR: healthcheck_interval must be an integer\n");
}

TEST(StartupErrorsText, NegativeIntervalReportsTheTimerAndKeepsRunning) {
  const std::string health = weft_test::temp_path("health");
  auto env = clean_env(health);
  env["healthcheck_interval"] = "-5";
  ChildProcess child(program(), {"-f", "/nonexistent.json"}, env);
  ASSERT_TRUE(child.wait_for_output("Waiting for config file", 10s));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(child.running());
  EXPECT_EQ(child.err(), "ERROR: Unable to start healthcheck timer: Invalid argument\n");
  EXPECT_TRUE(weft_test::file_exists(health));
}

TEST(StartupErrorsText, UnwritableHealthFileIsReportedAndStartupGoesOn) {
  auto env = clean_env("/proc/version/health");
  ChildProcess child(program(), {"-f", "/nonexistent.json"}, env);
  ASSERT_TRUE(child.wait_for_output("Waiting for config file", 10s));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(child.running());
  EXPECT_EQ(child.err(),
            "ERROR: Unable to create healthcheck file, container will report unhealthy\n");
}

TEST(Wiring, EntryAndMappingProblemsAreReportedAndSkipped) {
  const char* config = R"({
    "blocks": {
      "a": {"type": "repstr", "config": {"delay": 100000}},
      "b": {"type": "DumpStringBlock"},
      "c": {"config": {}},
      "e": {"type": "NOSUCHTYPE"},
      "f": {"type": 7}
    },
    "mappings": {
      "a:output": "b:input",
      "a:output:again": "b:input",
      "b:input": "a:output",
      "a": "b:input",
      "ghost:output": "b:input",
      "b:x": 5,
      "a:y": "ghost:input",
      "c:output": "b:input"
    }
  })";
  const std::string health = weft_test::temp_path("health");
  ChildProcess child(program(), {"-f", write_config(config)}, clean_env(health));
  // The repeater sends its first message at once, so the link a -> b works.
  ASSERT_TRUE(child.wait_for_output("b : Test\n", 10s)) << child.err();
  EXPECT_EQ(child.err(),
            "ERROR: Ignoring block config: c unable to determine type\n"
            "ERROR: ignoring block config: e could not find block type: NOSUCHTYPE\n"
            "ERROR: Ignoring block config: f unable to determine type\n"
            "Problem connecting ports a:: -> b::input: Missing Port\n"
            "Problem connecting ports a::output -> b::input: Port already connected\n"
            "ERROR: Unable to find block: ghost\n"
            "Problem connecting ports b::input -> a::output: Can't connect to port\n"
            "ERROR: Mappings section should only contain strings, skipping: b:x\n"
            "ERROR: Unable to find block: c\n"
            "ERROR: Unable to find block: ghost\n");
  EXPECT_TRUE(child.running());
}

TEST(Chain, RepeaterFeedsDumpWithCounter) {
  const char* config = R"({
    "blocks": {
      "gen": {"type": "REPSTR", "config": {"delay": 50, "append_counter": "true"}},
      "d": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"gen:output": "d:input"}
  })";
  ChildProcess child(program(), {"-f", write_config(config)},
                     clean_env(weft_test::temp_path("health")));
  ASSERT_TRUE(child.wait_for_output("d : Test 3\n", 10s)) << child.err();
  EXPECT_EQ(child.out().rfind("d : Test 0\nd : Test 1\nd : Test 2\nd : Test 3\n", 0), 0u);
  EXPECT_EQ(child.err(), "");
}

TEST(Chain, ZeroDelayRunsFlatOutWithoutLossOrReordering) {
  const char* config = R"({
    "blocks": {
      "gen": {"type": "REPSTR", "config": {"delay": 0, "append_counter": "true", "test_string": "$$M"}},
      "d": {"type": "DUMPSTRINGBLOCK"}
    },
    "mappings": {"gen:output": "d:input"}
  })";
  ChildProcess child(program(), {"-f", write_config(config)},
                     clean_env(weft_test::temp_path("health")));
  ASSERT_TRUE(child.wait_for_output("d : $M 20000\n", 60s)) << child.err();
  child.kill();
  const std::string out = child.out();
  size_t pos = 0;
  for (int i = 0; i <= 20000; ++i) {
    const std::string line = "d : $M " + std::to_string(i) + "\n";
    ASSERT_EQ(out.compare(pos, line.size(), line), 0)
        << "message " << i << " missing or out of order";
    pos += line.size();
  }
}

TEST(Chain, EnvironmentReferencesAndEmptyContainers) {
  const char* config = R"({
    "blocks": {
      "gen": {"type": "REPSTR", "config": {"test_string": "$WEFT_TEST_TEXT", "delay": 100000, "unused": []}},
      "d": {"type": "DUMPSTRINGBLOCK", "config": {}}
    },
    "mappings": {"gen:output": "$WEFT_TEST_SINK"}
  })";
  auto env = clean_env(weft_test::temp_path("health"));
  env["WEFT_TEST_TEXT"] = "from the environment";
  env["WEFT_TEST_SINK"] = "d:input";
  ChildProcess child(program(), {"-f", write_config(config)}, env);
  EXPECT_TRUE(child.wait_for_output("d : from the environment\n", 10s)) << child.err();
}

TEST(Chain, EmptySectionsRunAnEmptyChain) {
  const std::string health = weft_test::temp_path("health");
  auto env = clean_env(health);
  env["healthcheck_interval"] = "1";
  ChildProcess child(program(), {"-f", write_config(R"({"blocks":{},"mappings":{}})")}, env);
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(child.running());
  EXPECT_EQ(child.err(), "");
  EXPECT_TRUE(weft_test::file_exists(health));
}

TEST(Chain, DumpInLogModeIsSilentUntilDebugIsOn) {
  const char* config = R"({
    "blocks": {
      "gen": {"type": "REPSTR", "config": {"delay": 20}},
      "quiet": {"type": "DUMPSTRINGBLOCK", "config": {"output_method": "log"}},
      "gen2": {"type": "REPSTR", "config": {"delay": 20, "test_string": "loud"}},
      "loud": {"type": "DUMPSTRINGBLOCK", "config": {"output_method": "log", "log_level": "DEBUG"}}
    },
    "mappings": {"gen:output": "quiet:input", "gen2:output": "loud:input"}
  })";
  ChildProcess child(program(), {"-f", write_config(config)},
                     clean_env(weft_test::temp_path("health")));
  ASSERT_TRUE(child.wait_for_output("[loud] [debug] loud : loud", 10s)) << child.out();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(child.out().find("quiet"), std::string::npos);
}
