// Runs the real weft-pipe binary with chains of the transform blocks and
// compares what the dump blocks print, byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child_process.h"

using namespace std::chrono_literals;
using nlohmann::json;
using weft_test::ChildProcess;

namespace {

std::string program() {
  return weft_test::build_dir() + "/weft-pipe";
}

std::map<std::string, std::string> clean_env() {
  return {{"config", weft_test::kUnset},
          {"healthcheck_path", weft_test::temp_path("health")},
          {"healthcheck_interval", weft_test::kUnset}};
}

std::string write_config(const json& config) {
  const std::string path = weft_test::temp_path("transform.json");
  weft_test::write_file(path, config.dump(2));
  return path;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits until every expected line was printed at least twice (so the blocks
// kept going after the first message), then checks that nothing else was.
void expect_only_lines(ChildProcess& child, const std::vector<std::string>& leading,
                       const std::set<std::string>& repeated) {
  for (const std::string& line : repeated) {
    ASSERT_TRUE(child.wait_for_output(line + "\n", 20s)) << "missing: " << line << "\n"
                                                         << child.out();
  }
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  std::map<std::string, int> seen;
  std::vector<std::string> lines;
  while (std::chrono::steady_clock::now() < deadline) {
    lines = lines_of(child.out());
    seen.clear();
    for (const std::string& line : lines) ++seen[line];
    bool enough = true;
    for (const std::string& line : repeated) enough = enough && seen[line] >= 2;
    if (enough) break;
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_GE(lines.size(), leading.size());
  for (size_t i = 0; i < leading.size(); ++i) EXPECT_EQ(lines[i], leading[i]);
  for (size_t i = leading.size(); i < lines.size(); ++i) {
    // The last line may still be on its way.
    if (i + 1 == lines.size() && child.out().back() != '\n') break;
    EXPECT_EQ(repeated.count(lines[i]), 1u) << "unexpected line: " << lines[i];
  }
  for (const std::string& line : repeated) EXPECT_GE(seen[line], 2) << line;
  EXPECT_EQ(child.err(), "");
}

}  // namespace

TEST(TransformChain, GeneratorSplitterTimeseriesDump) {
  const json document = {
      {"data",
       {{"temp", {{"timestamp", 1700000000000}, {"type", "double"}, {"val", 21.5}}},
        {"hum", {{"timestamp", 1700000000000}, {"type", "double"}, {"val", 40}}},
        {"press", {{"timestamp", 1700000000001}, {"type", "double"}, {"val", 1.013e3}}}}}};
  const json config = {
      {"blocks",
       {{"gen",
         {{"type", "REPSTR"}, {"config", {{"delay", 50}, {"test_string", document.dump()}}}}},
        {"split",
         {{"type", "jsonsplit"},
          {"config", {{"ports", {{"hot", {"temp", "hum"}}, {"cold", {"press"}}}}}}}},
        {"hot_ts", {{"type", "JSONTOTIMESERIES"}}},
        {"cold_ts",
         {{"type", "JSONTOTIMESERIES"}, {"config", {{"attributes", {{"site", "hall-2"}}}}}}},
        {"hot_out", {{"type", "DUMPSTRINGBLOCK"}}},
        {"cold_out", {{"type", "DUMPSTRINGBLOCK"}}}}},
      {"mappings",
       {{"gen:output", "split:input"},
        {"split:hot", "hot_ts:input"},
        {"split:cold", "cold_ts:input"},
        {"hot_ts:output", "hot_out:input"},
        {"cold_ts:output", "cold_out:input"}}}};
  ChildProcess child(program(), {"-f", write_config(config)}, clean_env());
  expect_only_lines(
      child, {"Adding port: cold", "Adding port: hot"},
      {R"(hot_out : {"body":[{"attributes":{"source":"ZEB"},"datapoints":[[1700000000000,40,3]],"name":"hum"},{"attributes":{"source":"ZEB"},"datapoints":[[1700000000000,21.5,3]],"name":"temp"}],"messsageId":"weft-pipe"})",
       R"(cold_out : {"body":[{"attributes":{"site":"hall-2"},"datapoints":[[1700000000001,1013.0,3]],"name":"press"}],"messsageId":"weft-pipe"})"});
}

TEST(TransformChain, GeneratorCopySplitterFlatTimeseriesDump) {
  const std::string message =
      R"({"timestamp":1700000000000.7,"data":{"b":{"val":true},"a":{"quality":"good","val":"x"},"skip":3}})";
  const json config = {
      {"blocks",
       {{"gen", {{"type", "REPSTR"}, {"config", {{"delay", 50}, {"test_string", message}}}}},
        {"copy", {{"type", "splitter"}, {"config", {{"output_count", 2}}}}},
        {"flat", {{"type", "FLATTOTIMESERIES"}}},
        {"flat_out", {{"type", "DUMPSTRINGBLOCK"}}},
        {"raw_out", {{"type", "DUMPSTRINGBLOCK"}}}}},
      {"mappings",
       {{"gen:output", "copy:input"},
        {"copy:output1", "flat:input"},
        {"copy:output2", "raw_out:input"},
        {"flat:output", "flat_out:input"}}}};
  ChildProcess child(program(), {"-f", write_config(config)}, clean_env());
  expect_only_lines(
      child, {},
      {R"(flat_out : {"body":[{"attributes":{"source":"ZEB"},"datapoints":[[1700000000000,"x",3]],"name":"a"},{"attributes":{"source":"ZEB"},"datapoints":[[1700000000000,true,3]],"name":"b"}],"messageId":"weft-pipe"})",
       "raw_out : " + message});
}

// A message the block cannot read costs that message only.
TEST(TransformChain, BrokenMessagesAreLoggedAndTheBlockGoesOn) {
  const json config = {
      {"blocks",
       {{"gen",
         {{"type", "REPSTR"},
          {"config", {{"delay", 50}, {"test_string", "{\"t\":"}, {"append_counter", "true"}}}}},
        {"ts", {{"type", "JSONTOTIMESERIES"}, {"config", {{"log_level", "err"}}}}},
        {"out", {{"type", "DUMPSTRINGBLOCK"}}}}},
      {"mappings", {{"gen:output", "ts:input"}, {"ts:output", "out:input"}}}};
  ChildProcess child(program(), {"-f", write_config(config)}, clean_env());
  // The counter makes the text one byte longer from the tenth message on.
  const std::string dropped =
      "[ts] [error] ts: dropped a message: not valid JSON: [json.exception.parse_error.101] parse "
      "error at line 1, column %: syntax error while parsing object - unexpected end of input; "
      "expected '}'\n";
  const auto at_column = [&](const char* column) {
    std::string line = dropped;
    return line.replace(line.find('%'), 1, column);
  };
  ASSERT_TRUE(child.wait_for_output(at_column("8"), 20s)) << child.out();
  ASSERT_TRUE(child.wait_for_output(at_column("9"), 20s)) << child.out();
  EXPECT_TRUE(child.running());
  EXPECT_EQ(child.out().find(" out : "), std::string::npos) << child.out();
}

TEST(TransformChain, TypesAreListed) {
  ChildProcess child(program(), {"-l"}, clean_env());
  ASSERT_EQ(child.wait_exit(20s), 0);
  for (const char* type : {"FLATTOTIMESERIES", "JSONSPLIT", "JSONTOTIMESERIES", "SPLITTER"}) {
    EXPECT_NE(child.out().find(std::string("\t") + type + "\n"), std::string::npos) << type << "\n"
                                                                                    << child.out();
  }
}

struct Rejected {
  const char* name;
  const char* block;
  const char* expected_err;
  friend void PrintTo(const Rejected& r, std::ostream* os) { *os << r.name; }
};

class TransformChainRejects : public ::testing::TestWithParam<Rejected> {};

TEST_P(TransformChainRejects, ConfigurationAndEndsStartup) {
  const std::string path = weft_test::temp_path("rejected.json");
  weft_test::write_file(
      path, std::string(R"({"blocks":{"b":)") + GetParam().block + R"(},"mappings":{}})");
  ChildProcess child(program(), {"-f", path}, clean_env());
  EXPECT_EQ(child.wait_exit(20s), 1);
  EXPECT_EQ(child.err(), GetParam().expected_err);
}

INSTANTIATE_TEST_SUITE_P(
    , TransformChainRejects,
    ::testing::Values(
        Rejected{"SplitterWithoutCount", R"({"type":"SPLITTER","config":{"log_name":"s"}})",
                 "ERROR unable to initialize block: b of type: SPLITTER\n"
                 "\tUnable to find: output_count in: {\"log_name\":\"s\"}\n"
                 "ERROR: Unable to initialize blocks\n"},
        Rejected{"JsonSplitWithoutPorts", R"({"type":"JSONSPLIT"})",
                 "ERROR unable to initialize block: b of type: JSONSPLIT\n"
                 "\tUnable to find: ports in: {}\nERROR: Unable to initialize blocks\n"},
        Rejected{"JsonSplitPortNotAnArray",
                 R"({"type":"JSONSPLIT","config":{"ports":{"hot":"temp"}}})",
                 "ERROR unable to initialize block: b of type: JSONSPLIT\n"
                 "\tError data mapping object must contain an array\n"
                 "ERROR: Unable to initialize blocks\n"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
