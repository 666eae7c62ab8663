#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "unit/lib/log_capture.h"
#include "zeb/registry_file.h"
#include "zeb/rf_node_rule.h"
#include "zeb/rule_refused.h"
#include "zeb/transport.h"

namespace {

using zeb::RFNodeRule;

// True when iterating std::regex's matches over ref meets an empty match
// before the end, where it would look for a non-empty match at the same place.
bool meets_empty_match_inside(const std::string& ref, const std::regex& regex) {
  for (auto it = std::sregex_iterator(ref.begin(), ref.end(), regex); it != std::sregex_iterator();
       ++it) {
    if (it->length(0) == 0 && it->position(0) < static_cast<long>(ref.size())) return true;
  }
  return false;
}

std::string mapped(const RFNodeRule& rule, const std::string& ref) {
  std::vector<char> out(4096);
  EXPECT_EQ(rule.map_reference(ref.c_str(), out.data(), out.size()), 1);
  return out.data();
}

// Rules run on a linear-time engine; every pattern below must still answer and
// rewrite exactly as the ECMAScript engine does.
TEST(RulePattern, MatchesAndRewritesAsTheEcmaScriptEngine) {
  const std::vector<std::string> patterns = {"plant/(\\w+)/temp",
                                             "a.c",
                                             "a\\.c",
                                             "[a-c]+x",
                                             "[^/]+/(.*)",
                                             "\\d{2,3}",
                                             "(a|ab)(c|bcd)(d*)",
                                             "x*?y",
                                             "(a+)+b",
                                             "a**",
                                             "a*?",
                                             "(a|aa)*",
                                             "\\bfoo\\b",
                                             "\\Bo",
                                             "^a|b$",
                                             "[\\d\\s]+",
                                             "\\S\\W",
                                             "[]a]",
                                             "[^]",
                                             "[\\]]",
                                             "[a-]",
                                             "[[:alpha:]]+",
                                             "\\x41\\u0042",
                                             "\\cJ",
                                             "\\0",
                                             "a{0}",
                                             "(?:ab){2,}",
                                             "a{1,3}?",
                                             "(a)|(b)",
                                             "}]",
                                             "[.]",
                                             "\\/",
                                             "(\\w)(\\w)?",
                                             ".*",
                                             "a|",
                                             "(|a)+",
                                             "\xc3\xa9+",
                                             "[\x80-\xff]",
                                             "\\s",
                                             "\\t\\n\\v\\f\\r"};
  const std::vector<std::string> refs = {"",
                                         "plant/oven1/temp",
                                         "abc",
                                         "a.c",
                                         "aac",
                                         "abx",
                                         "cba/x/y",
                                         "12",
                                         "1234",
                                         "xxy",
                                         "aaab",
                                         "aaaa",
                                         "foo",
                                         "a foo b",
                                         "oo",
                                         "ab",
                                         "ba",
                                         "a]",
                                         "]",
                                         "-",
                                         "Zz",
                                         "AB",
                                         "\n",
                                         std::string(1, '\0'),
                                         "ababab",
                                         "abcd",
                                         "}]",
                                         ".",
                                         "/",
                                         "ab",
                                         "\xc3\xa9\xc3\xa9",
                                         "\x80\xff",
                                         " \t",
                                         "\t\n\v\f\r",
                                         "\r",
                                         "a\rb"};
  for (const std::string& pattern : patterns) {
    RFNodeRule rule(pattern);
    ASSERT_NO_THROW(rule.compile_pattern()) << pattern;
    rule.set_content_rewrite("<$&|$1|$2|$`|$'|$$|$9>");
    const std::regex regex(pattern, std::regex::ECMAScript);
    for (const std::string& ref : refs) {
      if (ref.find('\0') != std::string::npos) {
        // A C reference ends at its NUL, the pattern may hold one.
        EXPECT_EQ(rule.matches(""), std::regex_match("", regex)) << pattern;
        continue;
      }
      EXPECT_EQ(rule.matches(ref.c_str()), std::regex_match(ref, regex))
          << "pattern \"" << pattern << "\", ref \"" << ref << "\"";
      if (meets_empty_match_inside(ref, regex)) continue;
      EXPECT_EQ(mapped(rule, ref), std::regex_replace(ref, regex, "<$&|$1|$2|$`|$'|$$|$9>"))
          << "pattern \"" << pattern << "\", ref \"" << ref << "\"";
    }
  }
}

// The one place the rewrite differs: after an empty match the search goes on
// one character later, without trying a longer match at the same place.
TEST(RulePattern, RewriteResumesAfterAnEmptyMatch) {
  RFNodeRule rule("x*");
  rule.compile_pattern();
  rule.set_content_rewrite("-");
  EXPECT_EQ(mapped(rule, "ab"), "-a-b-");
  EXPECT_EQ(mapped(rule, "axxb"), "-a--b-");
  RFNodeRule either("a*|b");
  either.compile_pattern();
  either.set_content_rewrite("-");
  EXPECT_EQ(mapped(either, "b"), "-b-");
}

TEST(RulePattern, PatternsWithoutALinearBoundAreRefused) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"(a)\\1", "back-reference"},
      {"(a*)b\\1", "back-reference"},
      {"(?=a)a", "lookahead"},
      {"a(?!b)", "lookahead"},
      {"a{1001}", "repeat count above 1000"},
      {"a{2,1001}", "repeat count above 1000"},
      {"(?:a{100}){100}", "repetition"},
      {std::string(300, '(') + std::string(300, ')'), "nested deeper"}};
  for (const auto& [pattern, reason] : refused) {
    RFNodeRule rule(pattern);
    try {
      rule.compile_pattern();
      ADD_FAILURE() << pattern << " was accepted";
    } catch (const zeb::RuleRefused& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
    EXPECT_FALSE(rule.matches("a"));
  }
  RFNodeRule invalid("(a");
  EXPECT_THROW(invalid.compile_pattern(), std::regex_error);
}

TEST(RulePattern, RegistryNamesTheRefusedRuleAndItsCode) {
  LogCapture capture("reg_refuse");
  zeb::RegistryFile reg(
      "reg_refuse", R"({"info":{"file_version":1},"config":{"p":{"transport_addr":"loop://h"}},)"
                    R"("mapping":[["p","pub","(a)\\1",""],["p","pub","ok",""]]})");
  EXPECT_EQ(reg.initialize(), zeb::kRegistryRulesRejected);
  zeb::NodeEntry* entry = nullptr;
  EXPECT_EQ(reg.lookup_node(zeb::kMethodPub, "ok", &entry), 0);
  EXPECT_EQ(reg.lookup_node(zeb::kMethodPub, "aa", &entry), 1);
  EXPECT_NE(capture.text().find(R"(Rule refused (load error 1003): ["p","pub","(a)\\1",""]: )"
                                "back-reference at offset 3"),
            std::string::npos);
}

// Backtracking takes exponential time on these; here they must cost about what
// a plain rule costs on the same reference.
TEST(RulePattern, AmbiguousRulesMatchInLinearTime) {
  const auto best_of = [](const RFNodeRule& rule, const std::string& ref, bool expected) {
    auto best = std::chrono::steady_clock::duration::max();
    for (int round = 0; round < 20; ++round) {
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(rule.matches(ref.c_str()), expected);
      best = std::min(best, std::chrono::steady_clock::now() - start);
    }
    return best;
  };
  RFNodeRule plain("a*");
  plain.compile_pattern();
  const std::string match(1000, 'a');
  const std::string miss = std::string(999, 'a') + "b";
  for (const char* pattern : {"(a|aa)*", "(a*)*", "a**************", "(a|a?)+"}) {
    RFNodeRule ambiguous(pattern);
    ambiguous.compile_pattern();
    EXPECT_LE(best_of(ambiguous, match, true), 10 * best_of(plain, match, true)) << pattern;
    EXPECT_LE(best_of(ambiguous, miss, false), 10 * best_of(plain, miss, false)) << pattern;
  }
}

}  // namespace
