// libFuzzer target for the message handlers of the transform blocks.
//
// Arbitrary bytes go to JSONTOTIMESERIES, FLATTOTIMESERIES, JSONSPLIT and
// SPLITTER; none may crash or leak. For text the JSON library reads, every
// result is also checked against the same transform done on the library's own
// document: the tree must write what the library dumps, and each record or copy
// a block sends must equal the one made from the library's document. Text the
// library rejects must be rejected too.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/splitter/basic_splitter_block.h"
#include "blocks/splitter/json_splitter_block.h"
#include "blocks/timeseries/flat_to_timeseries.h"
#include "blocks/timeseries/json_to_timeseries.h"
#include "blocks/util/json_tree.h"
#include "framework/sink_port.h"

using nlohmann::json;

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

// The library's dump and the reference transforms below recurse; documents
// nested deeper than this are only fed to the blocks, without comparison.
constexpr size_t kMaxCompareDepth = 200;

size_t nesting(const std::string& text) {
  size_t depth = 0;
  size_t deepest = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

const json kAttributes = {{"source", "ZEB"}};

// The nested walk, done on the library's document: false where the walk
// would have to enter a scalar or a non-empty array.
bool nested_walk(const json& node, json& body) {
  if (node.is_null() || (node.is_array() && node.empty())) return true;
  if (!node.is_object()) return false;
  for (const auto& member : node.items()) {
    const json& value = member.value();
    const auto has = [&](const char* key) { return value.is_object() && value.contains(key); };
    const auto nested = [&](const char* key) { return has(key) && value.at(key).is_object(); };
    const auto usable = [&](const char* key) { return has(key) && !value.at(key).is_null(); };
    if (!(has("timestamp") || has("type") || has("val")) || nested("timestamp") || nested("type") ||
        nested("val")) {
      if (!nested_walk(value, body)) return false;
      continue;
    }
    if (!usable("timestamp") || !usable("type") || !usable("val")) continue;
    body.push_back({{"name", member.key()},
                    {"datapoints", {{value.at("timestamp"), value.at("val"), 3}}},
                    {"attributes", kAttributes}});
  }
  return true;
}

// The flat record of the library's document; false for a dropped message.
// Messages without "timestamp" carry the current time and are not compared.
bool flat_record(const json& doc, json& record) {
  if (!doc.is_object() || !doc.contains("data") || !doc.at("data").is_object()) return false;
  const json& stamp = doc.at("timestamp");
  int64_t time = 0;
  if (stamp.is_number_integer() && !stamp.is_number_unsigned()) {
    time = stamp.get<int64_t>();
  } else if (stamp.is_number_unsigned()) {
    if (stamp.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return false;
    }
    time = stamp.get<int64_t>();
  } else if (stamp.is_number_float()) {
    const double whole = std::trunc(stamp.get<double>());
    if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0)) return false;
    time = static_cast<int64_t>(whole);
  } else {
    return false;
  }
  record = {{"messageId", "weft-pipe"}, {"body", json::array()}};
  for (const auto& member : doc.at("data").items()) {
    const json& value = member.value();
    if (!value.is_object() || !value.contains("val")) continue;
    record["body"].push_back({{"name", member.key()},
                              {"datapoints", {{time, value.at("val"), 3}}},
                              {"attributes", kAttributes}});
  }
  return true;
}

struct Splitter {
  JsonSplitterBlock block{
      "fuzz-split", json{{"ports", {{"a", {"x", "y", ""}}, {"b", {"val", "data"}}, {"c", {}}}}}};
  std::vector<std::string> names{"a", "b", "c"};
  std::vector<std::vector<std::string>> lists{{"x", "y", ""}, {"val", "data"}, {}};
  std::vector<std::unique_ptr<qor::SinkPort<std::string>>> sinks;

  Splitter() {
    for (const std::string& name : names) {
      sinks.push_back(std::make_unique<qor::SinkPort<std::string>>(name));
      block.find_port(name)->connect(sinks.back().get());
    }
  }
};

struct Copier {
  BasicSplitterBlock block{"fuzz-copy", json{{"output_count", 2}}};
  qor::SinkPort<std::string> first{"first"};
  qor::SinkPort<std::string>* input =
      dynamic_cast<qor::SinkPort<std::string>*>(block.find_port("input"));

  Copier() { block.find_port("output1")->connect(&first); }
};

// Each check feeds text to its handler; with compare set, doc is the library's
// document (null when it rejects the text) and the results must agree with it.
void check_tree(const std::string& text, const json* doc, bool compare) {
  static JsonTree tree;
  const bool parsed = tree.parse(text);
  if (!compare) return;
  require(parsed == (doc != nullptr));
  if (!parsed) {
    require(!tree.error().empty());
    return;
  }
  std::string compact;
  tree.write(tree.root(), compact);
  require(compact == doc->dump());
  std::string pretty;
  tree.write_pretty(tree.root(), pretty, 4);
  require(pretty == doc->dump(4));
}

void check_nested(const std::string& text, const json* doc, bool compare) {
  static JsonToTimeseries block("fuzz-j2ts", json::object());
  std::string record;
  const bool sent = block.transform(text, record);
  if (!compare) return;
  if (doc == nullptr) {
    require(!sent);
    return;
  }
  json body = json::array();
  const bool expected = nested_walk(*doc, body);
  require(sent == expected);
  if (sent) require(record == json({{"messsageId", "weft-pipe"}, {"body", body}}).dump());
}

void check_flat(const std::string& text, const json* doc, bool compare) {
  static FlatToTimeseries block("fuzz-f2ts", json::object());
  std::string record;
  const bool sent = block.transform(text, record);
  if (!compare) return;
  if (doc == nullptr) {
    require(!sent);
    return;
  }
  if (doc->is_object() && doc->contains("data") && !doc->contains("timestamp")) {
    require(sent == doc->at("data").is_object());
    if (sent) require(json::accept(record));
    return;
  }
  json expected;
  require(sent == flat_record(*doc, expected));
  if (sent) require(record == expected.dump());
}

void check_splitter(const std::string& text, const json* doc, bool compare) {
  static Splitter splitter;
  splitter.block.route(text);
  for (size_t i = 0; i < splitter.names.size(); ++i) {
    std::vector<std::string> copies;
    while (splitter.sinks[i]->size() > 0) copies.push_back(splitter.sinks[i]->receive());
    if (!compare) continue;
    std::vector<std::string> expected;
    if (doc != nullptr && doc->is_object() && doc->contains("data") &&
        doc->at("data").is_object()) {
      json copy = *doc;
      json& data = copy["data"];
      for (auto it = data.begin(); it != data.end();) {
        const auto& list = splitter.lists[i];
        it = std::find(list.begin(), list.end(), it.key()) == list.end() ? data.erase(it) : ++it;
      }
      if (!data.empty()) expected.push_back(copy.dump());
    }
    require(copies == expected);
  }
}

void check_copier(const std::string& text) {
  static Copier copier;
  require(copier.input->try_push(text) == qor::SUCCESS);
  copier.block.process(copier.input);
  require(copier.first.size() == 1 && copier.first.receive() == text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The flat block announces every message without "timestamp" on standard
  // output; libFuzzer reports on standard error.
  require(std::freopen("/dev/null", "w", stdout) != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const json parsed = json::parse(text, nullptr, false);
  const json* doc = parsed.is_discarded() ? nullptr : &parsed;
  const bool compare = nesting(text) <= kMaxCompareDepth;
  check_tree(text, doc, compare);
  check_nested(text, doc, compare);
  check_flat(text, doc, compare);
  check_splitter(text, doc, compare);
  check_copier(text);
  return 0;
}
