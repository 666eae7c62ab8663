#include "zeb/registry_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <string>

#include "unit/lib/log_capture.h"
#include "zeb/base_node_entry.h"
#include "zeb/connection_metadata.h"
#include "zeb/transport.h"

namespace {

using nlohmann::json;
using zeb::NodeEntry;
using zeb::RegistryFile;
using zeb::RFNodeRule;

const char kTwoPlanes[] = R"js({
  "info": {"file_version": 1.5},
  "config": {
    "p": {"transport_addr": "loop://host/a", "qos": 1},
    "q": {"transport_addr": "LOOP://other"}
  },
  "mapping": [
    ["p", "pub", "a/.*", ""],
    ["q", "get", "b/(.*)", "store/$1"]
  ]
})js";

// A registry over planes p and q with the given "mapping" array.
std::string with_mapping(const std::string& mapping) {
  return R"({"info":{"file_version":1},"config":{"p":{"transport_addr":"loop://h"},)"
         R"("q":{"transport_addr":"loop://i"}},"mapping":)" +
         mapping + "}";
}

std::string write_file(const std::string& name, const std::string& content) {
  const std::string path = testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

const RFNodeRule* find(const RegistryFile& reg, int methods, const char* ref) {
  NodeEntry* entry = reinterpret_cast<NodeEntry*>(1);
  const int rc = reg.lookup_node(methods, ref, &entry);
  EXPECT_EQ(rc == 0, entry != nullptr);
  return dynamic_cast<const RFNodeRule*>(entry);
}

json dumped(const RegistryFile& reg) {
  return json::parse(reg.dump());
}

TEST(RegistryLoad, EmptySourceKeepsDefaultDocument) {
  LogCapture capture("reg_empty");
  RegistryFile reg("reg_empty", "");
  EXPECT_EQ(reg.initialize(), zeb::kRegistryNoSource);
  EXPECT_EQ(find(reg, zeb::kMethodAny, "anything"), nullptr);
  EXPECT_EQ(reg.dump(), R"({"full_reg":{"config":{},"info":{"file_version":1.0},"mapping":[]},)"
                        R"("parsed_rules":[],"rule_count":0})");
  EXPECT_NE(capture.text().find("No config file to initialize, registry will be empty"),
            std::string::npos);
}

TEST(RegistryLoad, InlineDocumentLoadsEveryRule) {
  LogCapture capture("reg_inline");
  RegistryFile reg("reg_inline", kTwoPlanes);
  EXPECT_EQ(reg.initialize(), zeb::kRegistryParsed);
  const auto* rule = find(reg, zeb::kMethodGet, "b/x");
  ASSERT_NE(rule, nullptr);
  EXPECT_EQ(rule->plane_id(), "q");
  EXPECT_EQ(rule->transport_addr(), "LOOP://other");
  EXPECT_EQ(rule->transport_scheme(), "loop");
  EXPECT_EQ(find(reg, zeb::kMethodPub, "a/b")->options(),
            R"({"qos":1,"transport_addr":"loop://host/a"})");
  const std::string log = capture.text();
  EXPECT_NE(log.find("Parsing registry from string"), std::string::npos);
  EXPECT_NE(log.find("File version: 1.500000"), std::string::npos);
  EXPECT_NE(log.find(R"js(Rule: ["q","get","b/(.*)","store/$1"])js"), std::string::npos);
  EXPECT_NE(log.find(std::string("Parsed ") + kTwoPlanes), std::string::npos);
}

TEST(RegistryLoad, MistypedFileNameIsParsedAsText) {
  LogCapture capture("reg_typo");
  RegistryFile reg("reg_typo", "no_such_registry.json");
  EXPECT_EQ(reg.initialize(), zeb::kRegistryBadDocument);
  EXPECT_NE(capture.text().find("Unable to parse: no_such_registry.json\n Exception: "),
            std::string::npos);
}

TEST(RegistryLoad, FileWithAndWithoutByteOrderMark) {
  const std::string plain = write_file("reg_plain.json", kTwoPlanes);
  const std::string bom = write_file("reg_bom.json", std::string("\xEF\xBB\xBF") + kTwoPlanes);
  LogCapture capture("reg_file");
  RegistryFile a("reg_file", plain.c_str());
  RegistryFile b("reg_file", bom.c_str());
  EXPECT_EQ(a.initialize(), zeb::kRegistryParsed);
  EXPECT_EQ(b.initialize(), zeb::kRegistryParsed);
  EXPECT_EQ(a.dump(), b.dump());
  EXPECT_NE(capture.text().find("Parsing registry from file: " + bom), std::string::npos);
}

TEST(RegistryLoad, DirectoryIsNotARegistry) {
  LogCapture capture("reg_dir");
  RegistryFile reg("reg_dir", testing::TempDir().c_str());
  EXPECT_EQ(reg.initialize(), zeb::kRegistryUnreadable);
  EXPECT_NE(capture.text().find("Unable to open registry"), std::string::npos);
}

TEST(RegistryLoad, ReadFailureIsReportedAsUnreadable) {
  // A regular file whose first bytes cannot be read: the read fails with EIO.
  LogCapture capture("reg_io");
  RegistryFile reg("reg_io", "/proc/self/mem");
  EXPECT_EQ(reg.initialize(), zeb::kRegistryUnreadable);
  EXPECT_NE(capture.text().find("Unable to open /proc/self/mem\n  Exception: "), std::string::npos);
}

struct BadDocument {
  const char* name;
  std::string text;
  int code;
  const char* log;
};
void PrintTo(const BadDocument& doc, std::ostream* os) {
  *os << doc.name;
}

class RegistryRejects : public testing::TestWithParam<BadDocument> {};

TEST_P(RegistryRejects, DocumentWithCodeAndLogLine) {
  const BadDocument& doc = GetParam();
  LogCapture capture("reg_bad");
  RegistryFile reg("reg_bad", doc.text.c_str());
  EXPECT_EQ(reg.initialize(), doc.code);
  EXPECT_NE(capture.text().find(doc.log), std::string::npos);
  // A refused document leaves nothing behind.
  EXPECT_EQ(dumped(reg)["full_reg"], nullptr);
  EXPECT_EQ(find(reg, zeb::kMethodAny, "a/b"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, RegistryRejects,
    testing::Values(
        BadDocument{"NoInfo", R"({"config":{"p":{"transport_addr":"loop://h"}},"mapping":[]})",
                    -1002, "Unable to find info section, bad conf"},
        BadDocument{"NoFileVersion", R"({"info":{},"config":{},"mapping":[]})", -1003,
                    "Unable to determine file version"},
        BadDocument{
            "TextFileVersion",
            R"({"info":{"file_version":"1"},"config":{"p":{"transport_addr":"loop://h"}},"mapping":[]})",
            -1008, "Unable to parse: "},
        BadDocument{"NoConfig", R"({"info":{"file_version":1},"mapping":[]})", -1004,
                    "No plane configurations found, bad config."},
        BadDocument{"EmptyConfig", R"({"info":{"file_version":1},"config":{},"mapping":[]})", -1009,
                    "No plane configs found"},
        BadDocument{"NullConfig", R"({"info":{"file_version":1},"config":null,"mapping":[]})",
                    -1009, "No plane configs found"},
        BadDocument{"ArrayConfig", R"({"info":{"file_version":1},"config":[1],"mapping":[]})",
                    -1008, "Unable to parse: "},
        BadDocument{
            "NoTransportAddr",
            R"({"info":{"file_version":1},"config":{"p":{"x":1},"q":{"transport_addr":"loop://h"}},"mapping":[]})",
            -1007, "Missing required transport addr in config: {\"x\":1}"},
        BadDocument{"NoMapping",
                    R"({"info":{"file_version":1},"config":{"p":{"transport_addr":"loop://h"}}})",
                    -1006, "No mapping rules found, bad config."},
        BadDocument{"EmptyMapping", with_mapping("[]"), -1005, "No mappings found, bad config."},
        BadDocument{"NullMapping", with_mapping("null"), -1005, "No mappings found, bad config."},
        BadDocument{"TextMapping", with_mapping(R"("a")"), -1008, "Unable to parse: "},
        BadDocument{"ObjectMapping", with_mapping(R"({"a":1})"), -1008, "Unable to parse: "},
        BadDocument{"OnlyUnknownPlane", with_mapping(R"([["z","pub","a/.*",""]])"), -1005,
                    R"(Unable to find configuration z for rule: ["z","pub","a/.*",""])"},
        BadDocument{"BadJson", "{\"info\":", -1008, "Unable to parse: {\"info\":\n Exception: "}),
    [](const testing::TestParamInfo<BadDocument>& param_info) { return param_info.param.name; });

TEST(RegistryLoad, EveryPlaneWithoutAddressIsNamed) {
  LogCapture capture("reg_addr");
  RegistryFile reg(
      "reg_addr", R"({"info":{"file_version":1},"config":{"a":{"k":1},"b":{"k":2}},"mapping":[]})");
  EXPECT_EQ(reg.initialize(), zeb::kRegistryNoTransportAddr);
  const std::string log = capture.text();
  const auto first = log.find("Missing required transport addr in config: {\"k\":1}");
  const auto second = log.find("Missing required transport addr in config: {\"k\":2}");
  const auto last = log.find("Missing required config options");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  ASSERT_NE(last, std::string::npos);
  EXPECT_LT(second, last);
}

struct RuleCase {
  const char* name;
  const char* rule;
  const char* log;
};
void PrintTo(const RuleCase& rule, std::ostream* os) {
  *os << rule.name;
}

class RegistryRejectsRule : public testing::TestWithParam<RuleCase> {};

TEST_P(RegistryRejectsRule, OthersStillLoad) {
  LogCapture capture("reg_rule");
  RegistryFile reg(
      "reg_rule",
      with_mapping(std::string("[") + GetParam().rule + R"(,["p","pub","ok",""]])").c_str());
  EXPECT_EQ(reg.initialize(), zeb::kRegistryRulesRejected);
  EXPECT_EQ(dumped(reg)["rule_count"], 1);
  EXPECT_NE(find(reg, zeb::kMethodPub, "ok"), nullptr);
  EXPECT_NE(capture.text().find(GetParam().log), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RegistryRejectsRule,
    testing::Values(
        RuleCase{"ThreeEntries", R"(["p","pub","a/.*"])",
                 R"(Unable to read mapping rule: ["p","pub","a/.*"])"},
        RuleCase{"UnknownPlane", R"(["z","pub","a",""])",
                 R"(Unable to find configuration z for rule: ["z","pub","a",""])"},
        RuleCase{"BadPattern", R"(["p","pub","(a",""])",
                 R"(Unable to read mapping rule: ["p","pub","(a",""])"},
        RuleCase{"MethodsNeitherNumberNorText", R"(["p",true,"a",""])",
                 R"(Unable to read mapping rule: ["p",true,"a",""])"},
        RuleCase{"MaskOutOfRange", R"(["p",1e30,"a",""])", "Unable to read mapping rule: "},
        RuleCase{"RewriteNotText", R"(["p","pub","a",7])",
                 R"(Unable to read mapping rule: ["p","pub","a",7])"},
        RuleCase{"NotAnArray", R"({"p":1})", R"(Unable to read mapping rule: {"p":1})"}),
    [](const testing::TestParamInfo<RuleCase>& param_info) { return param_info.param.name; });

TEST(RegistryLoad, BadTransportAddressRejectsItsRules) {
  RegistryFile reg(R"({"info":{"file_version":1},"config":{"p":{"transport_addr":"loop://h"},)"
                   R"("bad":{"transport_addr":"::no scheme"}},)"
                   R"("mapping":[["bad","pub","a",""],["p","pub","b",""]]})");
  EXPECT_EQ(reg.initialize(), zeb::kRegistryRulesRejected);
  EXPECT_EQ(find(reg, zeb::kMethodPub, "a"), nullptr);
  EXPECT_NE(find(reg, zeb::kMethodPub, "b"), nullptr);
}

struct MethodsCase {
  const char* methods;  // JSON value
  int mask;
};
void PrintTo(const MethodsCase& methods, std::ostream* os) {
  *os << methods.methods;
}

class RegistryMethods : public testing::TestWithParam<MethodsCase> {};

TEST_P(RegistryMethods, MaskFromNumberOrText) {
  RegistryFile reg(with_mapping(std::string(R"([["p",)") + GetParam().methods +
                                R"(,"r",""],["q",15,"other",""]])")
                       .c_str());
  ASSERT_EQ(reg.initialize(), zeb::kRegistryParsed);
  const int mask = GetParam().mask;
  for (int bit : {zeb::kMethodSub, zeb::kMethodPub, zeb::kMethodSet, zeb::kMethodGet}) {
    EXPECT_EQ(find(reg, bit, "r") != nullptr, (mask & bit) != 0) << "bit " << bit;
  }
}

INSTANTIATE_TEST_SUITE_P(Masks, RegistryMethods,
                         testing::Values(MethodsCase{"6", 6}, MethodsCase{"6.9", 6},
                                         MethodsCase{R"("Get")", 8}, MethodsCase{R"("none")", 0},
                                         MethodsCase{R"("get,pub")", 10},
                                         MethodsCase{R"("PUBSUB")", 3},
                                         MethodsCase{R"("subscribe")", 1},
                                         MethodsCase{R"("setget")", 12}, MethodsCase{"0", 0}));

TEST(RegistryLookup, MatchesWholeReferenceForSharedMethodBits) {
  RegistryFile reg(kTwoPlanes);
  ASSERT_EQ(reg.initialize(), zeb::kRegistryParsed);
  EXPECT_NE(find(reg, zeb::kMethodPub, "a/b"), nullptr);
  EXPECT_EQ(find(reg, zeb::kMethodGet, "a/b"), nullptr);
  EXPECT_NE(find(reg, zeb::kMethodAny, "a/b"), nullptr);
  EXPECT_EQ(find(reg, zeb::kMethodPub, "xa/b"), nullptr);
  EXPECT_EQ(find(reg, zeb::kMethodGet, "b/x/"), find(reg, zeb::kMethodGet, "b/y"));
}

TEST(RegistryLookup, EarlierRuleWinsOverMoreSpecific) {
  RegistryFile reg(with_mapping(R"([["p","pub","a/.*",""],["q","pub","a/b",""]])").c_str());
  ASSERT_EQ(reg.initialize(), zeb::kRegistryParsed);
  EXPECT_EQ(find(reg, zeb::kMethodPub, "a/b")->plane_id(), "p");
}

TEST(RegistryLookup, NullReferenceIsNotFound) {
  LogCapture capture("reg_null_ref");
  RegistryFile reg("reg_null_ref", kTwoPlanes);
  ASSERT_EQ(reg.initialize(), zeb::kRegistryParsed);
  EXPECT_EQ(find(reg, zeb::kMethodAny, nullptr), nullptr);
  EXPECT_NE(capture.text().find("RegistryFile::lookup_node : NULL node_ref, not found by default"),
            std::string::npos);
}

TEST(RegistryLookup, ReferencesLongerThanATransportTakesAreNotMatched) {
  LogCapture capture("reg_long");
  RegistryFile reg("reg_long", nullptr);
  ASSERT_TRUE(reg.add_plane("p", R"({"transport_addr":"loop://h"})"));
  ASSERT_TRUE(reg.append_rule("p", zeb::kMethodAny, "(.*)", nullptr));
  EXPECT_NE(find(reg, zeb::kMethodAny, std::string(1023, 'r').c_str()), nullptr);
  EXPECT_EQ(find(reg, zeb::kMethodAny, std::string(1024, 'r').c_str()), nullptr);
  // Long enough to exhaust the stack if it were matched.
  EXPECT_EQ(find(reg, zeb::kMethodAny, std::string(300000, 'r').c_str()), nullptr);
  EXPECT_NE(capture.text().find("node_ref of 1024 bytes is too long, not found"),
            std::string::npos);
}

TEST(RegistryInMemory, AppendRuleWithoutInitialize) {
  RegistryFile reg;
  ASSERT_TRUE(reg.add_plane("p", R"({"transport_addr":"loop://h","b":2,"a":1})"));
  ASSERT_TRUE(reg.append_rule("p", zeb::kMethodPub, "t/(.*)", nullptr));
  ASSERT_TRUE(reg.append_rule("p", zeb::kMethodGet, "g", "x"));
  const json dump = dumped(reg);
  EXPECT_EQ(dump["full_reg"]["mapping"], json::array());
  EXPECT_EQ(dump["rule_count"], 2);
  EXPECT_EQ(dump["parsed_rules"][0],
            json::parse(R"js({"content_rewrite":"","match_methods":2,"node_ref":"t/(.*)",)js"
                        R"("plane":"p","transport_addr":"loop://h"})"));
  EXPECT_EQ(dump["parsed_rules"][1]["content_rewrite"], "x");
  EXPECT_EQ(find(reg, zeb::kMethodPub, "t/1")->options(),
            R"({"a":1,"b":2,"transport_addr":"loop://h"})");
  EXPECT_EQ(reg.dump().find(' '), std::string::npos);
}

TEST(RegistryInMemory, AppendRuleRefusals) {
  LogCapture capture("reg_append");
  RegistryFile reg("reg_append", nullptr);
  ASSERT_TRUE(reg.add_plane("p", R"({"transport_addr":"loop://h"})"));
  ASSERT_TRUE(reg.add_plane("bad", R"({"transport_addr":"::x"})"));
  ASSERT_TRUE(reg.add_plane("num", R"({"transport_addr":5})"));
  EXPECT_FALSE(reg.append_rule(nullptr, 1, "a", ""));
  EXPECT_FALSE(reg.append_rule("p", 1, nullptr, ""));
  EXPECT_FALSE(reg.append_rule("z", 1, "a", ""));
  EXPECT_FALSE(reg.append_rule("p", 1, "(", ""));
  EXPECT_FALSE(reg.append_rule("bad", 1, "a", ""));
  EXPECT_FALSE(reg.append_rule("num", 1, "a", ""));
  EXPECT_EQ(dumped(reg)["rule_count"], 0);
  const std::string log = capture.text();
  EXPECT_NE(log.find("Bad plane ID for rule append"), std::string::npos);
  EXPECT_NE(log.find("Bad node reference for rule append"), std::string::npos);
  EXPECT_NE(log.find("Unknown plane: \"z\" can't add mapping"), std::string::npos);
  EXPECT_NE(log.find("Unable to add mapping rule\nException: "), std::string::npos);
}

TEST(RegistryInMemory, AddPlaneChecksAndReplaces) {
  LogCapture capture("reg_plane");
  RegistryFile reg("reg_plane", nullptr);
  EXPECT_FALSE(reg.add_plane(nullptr, R"({"transport_addr":"loop://h"})"));
  EXPECT_FALSE(reg.add_plane("p", nullptr));
  EXPECT_FALSE(reg.add_plane("p", R"({"x":1})"));
  EXPECT_FALSE(reg.add_plane("p", R"(["transport_addr"])"));
  EXPECT_THROW(reg.add_plane("p", "{"), nlohmann::json::parse_error);
  ASSERT_TRUE(reg.add_plane("p", R"({"transport_addr":"loop://one"})"));
  ASSERT_TRUE(reg.append_rule("p", zeb::kMethodPub, "a", ""));
  ASSERT_TRUE(reg.add_plane("p", R"({"transport_addr":"other://two"})"));
  ASSERT_TRUE(reg.append_rule("p", zeb::kMethodGet, "a", ""));
  // The first rule keeps what it copied; the new one sees the replacement.
  EXPECT_EQ(find(reg, zeb::kMethodPub, "a")->transport_scheme(), "loop");
  EXPECT_EQ(find(reg, zeb::kMethodGet, "a")->transport_scheme(), "other");
  EXPECT_EQ(dumped(reg)["full_reg"]["config"]["p"]["transport_addr"], "other://two");
  const std::string log = capture.text();
  EXPECT_NE(log.find("ERROR: NULL plane id in add_plane"), std::string::npos);
  EXPECT_NE(log.find("ERROR: NULL plane configuration in add_plane"), std::string::npos);
  EXPECT_NE(log.find("ERROR: Missing required transport address"), std::string::npos);
}

TEST(RegistryInMemory, RulesBeforeInitializeAreKeptFirst) {
  RegistryFile reg(kTwoPlanes);
  ASSERT_TRUE(reg.add_plane("m", R"({"transport_addr":"mem://x"})"));
  ASSERT_TRUE(reg.append_rule("m", zeb::kMethodPub, "a/b", ""));
  ASSERT_EQ(reg.initialize(), zeb::kRegistryParsed);
  EXPECT_EQ(find(reg, zeb::kMethodPub, "a/b")->plane_id(), "m");
  EXPECT_EQ(dumped(reg)["rule_count"], 3);
}

TEST(RegistryInMemory, FailedInitializeLeavesUsableRefusals) {
  LogCapture capture("reg_failed");
  RegistryFile reg("reg_failed", "{");
  ASSERT_TRUE(reg.add_plane("p", R"({"transport_addr":"loop://h"})"));
  ASSERT_TRUE(reg.append_rule("p", zeb::kMethodPub, "kept", ""));
  ASSERT_EQ(reg.initialize(), zeb::kRegistryBadDocument);
  EXPECT_FALSE(reg.add_plane("p", R"({"transport_addr":"loop://h"})"));
  EXPECT_FALSE(reg.append_rule("p", zeb::kMethodPub, "a", ""));
  const json dump = dumped(reg);
  EXPECT_EQ(dump["full_reg"], nullptr);
  EXPECT_EQ(dump["rule_count"], 1);
  EXPECT_NE(find(reg, zeb::kMethodPub, "kept"), nullptr);
  EXPECT_NE(capture.text().find("Initializing registry, deleted default registry"),
            std::string::npos);
  reg.make_default_registry();
  EXPECT_TRUE(reg.add_plane("p", R"({"transport_addr":"loop://h"})"));
}

class RuleRewrite : public testing::Test {
 protected:
  // Builds a rule for the pattern and rewrite and maps ref into a buffer of size.
  int map(const char* pattern, const char* rewrite, const std::string& ref, size_t size) {
    rule_ = std::make_unique<RFNodeRule>(pattern);
    rule_->compile_pattern();
    rule_->set_content_rewrite(rewrite);
    out_.assign(size + 1, '#');
    return rule_->map_reference(ref.c_str(), out_.data(), size);
  }
  std::string out() const { return out_.c_str(); }

  std::unique_ptr<RFNodeRule> rule_;
  std::string out_;
};

TEST_F(RuleRewrite, ReplacementFormat) {
  EXPECT_EQ(map("b/(.*)", "store/$1", "b/x", 64), 1);
  EXPECT_EQ(out(), "store/x");
  EXPECT_EQ(map("(.*)", "x/$1", "abc", 64), 1);
  EXPECT_EQ(out(), "x/abcx/");
  EXPECT_EQ(map("(a)(b)", "[$&|$2$1|$$]", "ab", 64), 1);
  EXPECT_EQ(out(), "[ab|ba|$]");
  EXPECT_EQ(map("b", "<$`$'>", "abc", 64), 1);
  EXPECT_EQ(out(), "a<ac>c");
}

TEST_F(RuleRewrite, ResultMustFitWithItsNul) {
  const std::string ref(1000, 'r');
  EXPECT_EQ(map("(.+)", ("$1" + std::string(23, 'x')).c_str(), ref, 1024), 1);
  EXPECT_EQ(out().size(), 1023u);
  EXPECT_EQ(map("(.+)", ("$1" + std::string(24, 'x')).c_str(), ref, 1024), 0);
  EXPECT_EQ(out_.substr(0, 4), "####");
}

TEST_F(RuleRewrite, NoRewriteCopiesAndCuts) {
  EXPECT_EQ(map("a.*", "", "abcdef", 64), -1);
  EXPECT_EQ(out(), "abcdef");
  EXPECT_EQ(map("a.*", "", "abcdef", 4), -1);
  EXPECT_EQ(out(), "abc");
}

// Patterns without operators are compared as text; every answer must still be
// the regex engine's.
TEST(RuleMatch, PlainPatternsAnswerAsTheRegexDoes) {
  const char* patterns[] = {"bench/out", "plant/\\+/temp", "a\\.b",      "a.b",    "a\\/b",    "",
                            "site/#",    "x\\d",           "x\\n",       "(a)",    "a|b",      "a]",
                            "a}",        "\\$share/g/t",   "$share/g/t", "a\\\\b", "a-b,c:d e"};
  const char* refs[] = {
      "bench/out", "bench/outx", "plant/+/temp", "plant/a/temp", "a.b",        "axb",  "a/b",
      "",          "site/#",     "x1",           "xd",           "x\n",        "x\\n", "a\\",
      "a",         "b",          "a]",           "a}",           "$share/g/t", "a\\b", "a-b,c:d e",
      "BENCH/OUT"};
  for (const char* pattern : patterns) {
    RFNodeRule rule(pattern);
    rule.compile_pattern();
    const std::regex regex(pattern, std::regex::ECMAScript);
    for (const char* ref : refs) {
      EXPECT_EQ(rule.matches(ref), std::regex_match(ref, regex))
          << "pattern \"" << pattern << "\", ref \"" << ref << "\"";
    }
  }
  RFNodeRule escaped("plant/\\+/temp");
  escaped.compile_pattern();
  EXPECT_TRUE(escaped.matches("plant/+/temp"));
  EXPECT_FALSE(escaped.matches("plant/\\+/temp"));
}

TEST(BaseNodeEntry, CopiesOnlyWhatFits) {
  zeb::BaseNodeEntry entry("ref");
  EXPECT_STREQ(entry.get_node_ref(), "ref");
  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(entry.map_reference("abcd", out, sizeof out), 0);
  EXPECT_EQ(out[0], '#');
  EXPECT_EQ(entry.map_reference("abc", out, sizeof out), 1);
  EXPECT_STREQ(out, "abc");
}

TEST(ConnectionMetadata, CopiesAreIndependentAndMovesTakeOver) {
  zeb::ConnectionMetadata a;
  EXPECT_FALSE(a.healthy());
  a.healthy(true);
  zeb::ConnectionMetadata b(a);
  b.healthy(false);
  EXPECT_TRUE(a.healthy());
  zeb::ConnectionMetadata c(std::move(a));
  EXPECT_TRUE(c.healthy());
  a = b;
  EXPECT_FALSE(a.healthy());
  b = std::move(c);
  EXPECT_TRUE(b.healthy());
}

}  // namespace
