// Cost per message of the transform handlers on the shared telemetry document
// (1.7 KB compact, 23 leaves), on one core.
//
// For each time-series block: the whole handler (parse, walk and writing the
// record), and the parse alone; walking and writing are done in one pass, so
// their share is the difference. The same transforms done the plain way on the
// JSON library's DOM (parse, build a document, dump it) are measured beside them
// as the point of comparison, and their output must equal the blocks' byte for
// byte: the program stops before measuring when it does not.
//
// The document is read from $WEFT_BENCH_DATA, else from the path the build
// configured.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/splitter/basic_splitter_block.h"
#include "blocks/splitter/json_splitter_block.h"
#include "blocks/timeseries/flat_to_timeseries.h"
#include "blocks/timeseries/json_to_timeseries.h"
#include "blocks/util/json_tree.h"
#include "dom_timeseries.h"
#include "framework/sink_port.h"

using dom_timeseries::dom_flat;
using dom_timeseries::dom_nested;
using nlohmann::json;

namespace {

struct Inputs {
  std::string nested;  // the telemetry document, compact
  std::string flat;    // its 23 leaves as one flat message
  std::string split;   // the document as the "data" of a message for JSONSPLIT
};

// The flat message holds every leaf under its path, so that no two collide.
void collect_leaves(const json& node, const std::string& path, json& data) {
  for (const auto& member : node.items()) {
    const std::string name = path.empty() ? member.key() : path + "." + member.key();
    if (member.value().contains("val")) {
      data[name] = member.value();
    } else {
      collect_leaves(member.value(), name, data);
    }
  }
}

const Inputs& inputs() {
  static const Inputs loaded = [] {
    const char* env = std::getenv("WEFT_BENCH_DATA");
    const std::string path = env != nullptr && *env != '\0' ? env : WEFT_BENCH_DATA_PATH;
    std::ifstream file(path);
    if (!file) {
      std::cerr << "cannot read the telemetry document " << path << "\n";
      std::exit(1);
    }
    const json document = json::parse(file);
    json data = json::object();
    collect_leaves(document, "", data);
    return Inputs{document.dump(), json{{"timestamp", 1765180800000}, {"data", data}}.dump(),
                  json{{"source", "press-hall"}, {"data", document}}.dump()};
  }();
  return loaded;
}

template <typename Block>
std::string block_record(Block& block, const std::string& message) {
  std::string record;
  if (!block.transform(message, record)) {
    std::cerr << "the block dropped the benchmark message\n";
    std::exit(1);
  }
  return record;
}

// Stops the program unless the block writes what the DOM transform dumps.
template <typename Block>
void require_identical(Block& block, const std::string& message, json (*dom)(const json&)) {
  const std::string expected = dom(json::parse(message)).dump();
  if (block_record(block, message) != expected) {
    std::cerr << "the block's record differs from the DOM transform's\n";
    std::exit(1);
  }
}

JsonToTimeseries& nested_block() {
  static JsonToTimeseries block("bench-j2ts", json::object());
  return block;
}

FlatToTimeseries& flat_block() {
  static FlatToTimeseries block("bench-f2ts", json::object());
  return block;
}

void per_message(benchmark::State& state, const std::string& message) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
}

// The blocks' handlers.

void JsonToTimeseries_Handler(benchmark::State& state) {
  const std::string& message = inputs().nested;
  require_identical(nested_block(), message, dom_nested);
  std::string record;
  for (auto _ : state) {
    record.clear();
    benchmark::DoNotOptimize(nested_block().transform(message, record));
  }
  per_message(state, message);
}

void JsonToTimeseries_Parse(benchmark::State& state) {
  const std::string& message = inputs().nested;
  JsonTree tree;
  for (auto _ : state) benchmark::DoNotOptimize(tree.parse(message));
  per_message(state, message);
}

void FlatToTimeseries_Handler(benchmark::State& state) {
  const std::string& message = inputs().flat;
  require_identical(flat_block(), message, dom_flat);
  std::string record;
  for (auto _ : state) {
    record.clear();
    benchmark::DoNotOptimize(flat_block().transform(message, record));
  }
  per_message(state, message);
}

void FlatToTimeseries_Parse(benchmark::State& state) {
  const std::string& message = inputs().flat;
  JsonTree tree;
  for (auto _ : state) benchmark::DoNotOptimize(tree.parse(message));
  per_message(state, message);
}

// JSONSPLIT with a consumer on each output. Made once: its construction
// announces every port it adds.
struct SplitChain {
  JsonSplitterBlock block{
      "bench-split",
      json{{"ports", {{"press", {"press-07"}}, {"rest", {"env-sensor-3", "gateway"}}}}}};
  qor::SinkPort<std::string> press{"press"};
  qor::SinkPort<std::string> rest{"rest"};
  qor::SinkPort<std::string>* input =
      dynamic_cast<qor::SinkPort<std::string>*>(block.find_port("input"));

  SplitChain() {
    block.find_port("press")->connect(&press);
    block.find_port("rest")->connect(&rest);
  }
};

// Through the ports, as the block's thread runs it: take the message, route
// it, and the consumers take their copies.
void JsonSplitter_Process(benchmark::State& state) {
  static SplitChain chain;
  const std::string& message = inputs().split;
  for (auto _ : state) {
    chain.input->try_push(message);
    chain.block.process(chain.input);
    benchmark::DoNotOptimize(chain.press.receive());
    benchmark::DoNotOptimize(chain.rest.receive());
  }
  per_message(state, message);
}

void BasicSplitter_Process(benchmark::State& state) {
  BasicSplitterBlock block("bench-copy", json{{"output_count", 2}});
  qor::SinkPort<std::string> first("first");
  qor::SinkPort<std::string> second("second");
  block.find_port("output1")->connect(&first);
  block.find_port("output2")->connect(&second);
  auto* input = dynamic_cast<qor::SinkPort<std::string>*>(block.find_port("input"));
  const std::string& message = inputs().nested;
  for (auto _ : state) {
    input->try_push(message);
    block.process(input);
    benchmark::DoNotOptimize(first.receive());
    benchmark::DoNotOptimize(second.receive());
  }
  per_message(state, message);
}

// The same transforms on the library's DOM, whole and step by step.

enum class Input { kNested, kFlat };

const std::string& message_of(Input input) {
  return input == Input::kNested ? inputs().nested : inputs().flat;
}

void Dom_Whole(benchmark::State& state, json (*transform)(const json&), Input input) {
  const std::string& message = message_of(input);
  for (auto _ : state) benchmark::DoNotOptimize(transform(json::parse(message)).dump());
  per_message(state, message);
}

void Dom_Parse(benchmark::State& state, Input input) {
  const std::string& message = message_of(input);
  for (auto _ : state) benchmark::DoNotOptimize(json::parse(message));
  per_message(state, message);
}

void Dom_Build(benchmark::State& state, json (*transform)(const json&), Input input) {
  const std::string& message = message_of(input);
  const json document = json::parse(message);
  for (auto _ : state) benchmark::DoNotOptimize(transform(document));
  per_message(state, message);
}

void Dom_Dump(benchmark::State& state, json (*transform)(const json&), Input input) {
  const std::string& message = message_of(input);
  const json record = transform(json::parse(message));
  for (auto _ : state) benchmark::DoNotOptimize(record.dump());
  per_message(state, message);
}

}  // namespace

BENCHMARK(JsonToTimeseries_Handler);
BENCHMARK(JsonToTimeseries_Parse);
BENCHMARK_CAPTURE(Dom_Whole, JsonToTimeseries, dom_nested, Input::kNested);
BENCHMARK_CAPTURE(Dom_Parse, JsonToTimeseries, Input::kNested);
BENCHMARK_CAPTURE(Dom_Build, JsonToTimeseries, dom_nested, Input::kNested);
BENCHMARK_CAPTURE(Dom_Dump, JsonToTimeseries, dom_nested, Input::kNested);
BENCHMARK(FlatToTimeseries_Handler);
BENCHMARK(FlatToTimeseries_Parse);
BENCHMARK_CAPTURE(Dom_Whole, FlatToTimeseries, dom_flat, Input::kFlat);
BENCHMARK_CAPTURE(Dom_Parse, FlatToTimeseries, Input::kFlat);
BENCHMARK_CAPTURE(Dom_Build, FlatToTimeseries, dom_flat, Input::kFlat);
BENCHMARK_CAPTURE(Dom_Dump, FlatToTimeseries, dom_flat, Input::kFlat);
BENCHMARK(JsonSplitter_Process);
BENCHMARK(BasicSplitter_Process);

BENCHMARK_MAIN();
