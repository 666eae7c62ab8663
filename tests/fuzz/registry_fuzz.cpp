// libFuzzer target for RegistryFile::initialize on inline JSON text.
//
// Arbitrary bytes are loaded as a registry document. Whatever the outcome, the
// result must be one of the registry's codes, dump() must give valid JSON that
// agrees with it, and looking up and rewriting a reference through the rules
// the document produced must not fail. Every rule's pattern must match and
// rewrite exactly as the ECMAScript engine does, whether the rule compares it
// as plain text or runs its own engine; and matching a long reference must
// stay fast for any rule (libFuzzer's timeout catches one that is not).
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

// The ECMAScript engine backtracks: stacked and nested quantifiers and
// alternatives under them make its time grow exponentially, with the nesting
// in the exponent, even on an empty reference. It is only asked about
// references short enough for the pattern's quantifiers and alternatives that
// it answers in good time, and not at all when there are many (0).
size_t oracle_length(const std::string& pattern) {
  size_t quantifiers = 0;
  size_t alternatives = 0;
  for (char c : pattern) {
    if (c == '*' || c == '+' || c == '?') ++quantifiers;
    if (c == '{') quantifiers += 2;
    if (c == '|') ++alternatives;
  }
  if (quantifiers == 0) return std::string::npos;
  static const size_t kLengths[] = {std::string::npos, 16, 8, 3, 2};
  const size_t cost = quantifiers + alternatives;
  return cost < sizeof kLengths / sizeof kLengths[0] ? kLengths[cost] : 0;
}

// True when std::regex's iteration over ref meets an empty match before the
// end: there it tries a longer match at the same place, which the rule does
// not do.
bool meets_empty_match_inside(const std::string& ref, const std::regex& regex) {
  for (auto it = std::sregex_iterator(ref.begin(), ref.end(), regex); it != std::sregex_iterator();
       ++it) {
    if (it->length(0) == 0 && it->position(0) < static_cast<long>(ref.size())) return true;
  }
  return false;
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
    rule.set_content_rewrite("[$&$1$`$'$$]");
    const size_t limit = oracle_length(pattern);
    for (std::string ref : {pattern, unescaped, std::string("a/b"), std::string()}) {
      if (limit == 0) break;
      ref = std::string(ref.c_str()).substr(0, limit);
      require(rule.matches(ref.c_str()) == std::regex_match(ref, regex));
      if (meets_empty_match_inside(ref, regex)) continue;
      const std::string expected = std::regex_replace(ref, regex, "[$&$1$`$'$$]");
      std::string out(expected.size() + 1, '#');
      require(rule.map_reference(ref.c_str(), out.data(), out.size()) == 1);
      require(expected == out.c_str());
    }
    std::string long_ref;
    while (long_ref.size() < 1000) long_ref += unescaped.empty() ? "a" : unescaped.c_str();
    rule.matches(long_ref.c_str());
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
