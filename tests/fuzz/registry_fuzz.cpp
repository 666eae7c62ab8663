// libFuzzer target for RegistryFile::initialize on inline JSON text.
//
// Arbitrary bytes are loaded as a registry document. Whatever the outcome, the
// result must be one of the registry's codes, dump() must give valid JSON that
// agrees with it, and looking up and rewriting a reference through the rules
// the document produced must not fail. Every rule's pattern must match exactly
// what the regex engine matches, whether the rule compares it as plain text or
// runs the engine.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>

#include "zeb/registry_file.h"
#include "zeb/rf_node_rule.h"
#include "zeb/transport.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The registry stops at the first NUL, like any C text.
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* source = text.c_str();
  // A text naming an existing path is read as that file; only inline text is
  // fuzzed here.
  struct stat info {};
  if (::stat(source, &info) == 0) return 0;

  static const std::set<int> kCodes = {1001,  1002,  1003,  -1001, -1002, -1003,
                                       -1004, -1005, -1006, -1007, -1008, -1009};
  zeb::RegistryFile registry(source);
  const int rc = registry.initialize();
  require(kCodes.count(rc) == 1);

  const auto dump = nlohmann::json::parse(registry.dump());
  const auto rules = dump.at("rule_count").get<size_t>();
  require(rules == dump.at("parsed_rules").size());
  if (rc > 1000 && rc != 1002) {
    require(rules > 0);
    require(dump.at("full_reg").is_object());
  }
  if (rc < 0) {
    require(rules == 0);
    require(dump.at("full_reg").is_null());
  }

  for (const auto& parsed : dump.at("parsed_rules")) {
    const std::string pattern = parsed.at("node_ref").get<std::string>();
    zeb::RFNodeRule rule(pattern);
    rule.compile_pattern();  // the registry compiled the same text
    const std::regex regex(pattern, std::regex::ECMAScript);
    std::string unescaped;
    for (char c : pattern) {
      if (c != '\\') unescaped += c;
    }
    for (const std::string& ref : {pattern, unescaped, std::string("a/b"), std::string()}) {
      require(rule.matches(ref.c_str()) == std::regex_match(ref.c_str(), regex));
    }
  }

  for (const char* ref : {"a/b", "", "x"}) {
    zeb::NodeEntry* entry = nullptr;
    if (registry.lookup_node(zeb::kMethodAny, ref, &entry) == 0) {
      require(entry != nullptr);
      char out[zeb::kMaxReferenceLength + 1];
      const int mapped = entry->map_reference(ref, out, sizeof out);
      require(mapped >= -1 && mapped <= 1);
    }
  }
  return 0;
}
