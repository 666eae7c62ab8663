// The tree must hold the very document the JSON library builds: its written
// text is compared with the library's own dump of the same input.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "blocks/util/json_text.h"
#include "blocks/util/json_tree.h"

using nlohmann::json;

namespace {

std::string compact(const JsonTree& tree) {
  std::string out;
  tree.write(tree.root(), out);
  return out;
}

std::string pretty(const JsonTree& tree, unsigned indent) {
  std::string out;
  tree.write_pretty(tree.root(), out, indent);
  return out;
}

}  // namespace

class JsonTreeMatchesLibrary : public ::testing::TestWithParam<const char*> {};

TEST_P(JsonTreeMatchesLibrary, CompactAndIndentedText) {
  const std::string text = GetParam();
  const json reference = json::parse(text);
  JsonTree tree;
  ASSERT_TRUE(tree.parse(text)) << tree.error();
  EXPECT_EQ(compact(tree), reference.dump());
  EXPECT_EQ(pretty(tree, 4), reference.dump(4));
  EXPECT_EQ(pretty(tree, 1), reference.dump(1));
}

INSTANTIATE_TEST_SUITE_P(
    Documents, JsonTreeMatchesLibrary,
    ::testing::Values(
        "null", "true", "false", "0", "-0", "17", "-17", "\"\"", "{}", "[]", "[[]]", "{\"a\":{}}",
        "1.0", "1.50", "1e2", "1E+2", "-0.0", "0.1", "1e-7", "123456789.125", "1e15", "1e16",
        "1.5e300", "5e-324", "1.7976931348623157e308", "0.30000000000000004", "9223372036854775807",
        "9223372036854775808", "18446744073709551615", "18446744073709551616",
        "-9223372036854775808", "-9223372036854775809",
        R"("quote \" backslash \\ slash \/ controls \b\f\n\r\t \u0001\u001f\u0000 del \u007f")",
        R"("utf-8: \u00e9 \u20ac \ud83d\ude00 é €")",
        R"({"b":1,"a":2,"c":{"z":[3,{"y":null,"x":true}],"é":0,"B":1,"":2}})",
        R"({"dup":1,"other":2,"dup":{"inner":3}})", R"({"dup":{"a":1},"dup":[1,2]})",
        R"({"":1,"":2})", R"([1,[2,[3,[]]],{},{"k":[{}]}])", " \t\n{ \"spaced\" : [ 1 , 2 ] }\r\n",
        // Read by the library's parser alone: a byte order mark, \u escapes,
        // a number too small for a double.
        "\xef\xbb\xbf{\"bom\":1}", R"({"k\u00e9y":"a\tb\u0041"})", "1e-400", "-1e-400",
        // UTF-8 at the edges of what is well formed.
        "\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\"",
        R"(["\/\"\\", -0.0e0, 0e5, 1E-2, 2e+3, 1.5E308])"));

class JsonTreeRejects : public ::testing::TestWithParam<std::string> {};

TEST_P(JsonTreeRejects, WhatTheLibraryRejectsWithItsText) {
  const std::string& text = GetParam();
  std::string expected;
  try {
    const json parsed = json::parse(text);
    ADD_FAILURE() << "the library accepted " << parsed.dump();
  } catch (const json::exception& e) {
    expected = e.what();
  }
  JsonTree tree;
  EXPECT_FALSE(tree.parse(text));
  EXPECT_EQ(tree.error(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, JsonTreeRejects,
    ::testing::Values("", "{", "{\"a\":}", "[1,]", "{\"a\":1,}", "[01]", "01", "-", "1.", "1e",
                      ".5", "+1", "1e400", "[1 2]", "{\"a\":1 \"b\":2}", "{\"a\" 1}", "{1:2}",
                      "nul", "tru", "[true", "{} {}", "[1] x", "\"\\x\"", "\"\\ud800\"",
                      "\"\\ud800\\u0041\"", "\"tab\tinside\"",
                      // UTF-8 that is not well formed: a stray continuation byte, overlong
                      // forms, a surrogate, beyond U+10FFFF, a cut sequence.
                      "\"\x80\"", "\"\xc0\x80\"", "\"\xe0\x9f\xbf\"", "\"\xed\xa0\x80\"",
                      "\"\xf4\x90\x80\x80\"", "\"\xf5\x80\x80\x80\"", "\"\xe1\x80\""));

// The library's parser ends the text at a NUL byte; the tree must not be
// stricter or laxer than it.
TEST(JsonTree, TextEndsAtANulAsForTheLibrary) {
  const std::string text("{\"a\":1}\0 junk", 13);
  ASSERT_EQ(json::parse(text).dump(), "{\"a\":1}");
  JsonTree tree;
  ASSERT_TRUE(tree.parse(text));
  EXPECT_EQ(compact(tree), "{\"a\":1}");
}

TEST(JsonTree, MembersAreSortedByByteAndFoundByKey) {
  JsonTree tree;
  ASSERT_TRUE(tree.parse(R"({"b":1,"\u00e9":2,"B":3,"a":4,"ab":5,"":6})"));
  const JsonTree::Id root = tree.root();
  ASSERT_EQ(tree.size(root), 6u);
  const char* order[] = {"", "B", "a", "ab", "b", "\xc3\xa9"};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(tree.child(root, i).key, order[i]) << i;
  EXPECT_EQ(tree.unsigned_integer(tree.find(root, "ab")), 5u);
  EXPECT_EQ(tree.unsigned_integer(tree.find(root, "")), 6u);
  EXPECT_EQ(tree.find(root, "c"), JsonTree::kNone);
  EXPECT_EQ(tree.find(tree.find(root, "a"), "x"), JsonTree::kNone) << "a number has no members";
}

TEST(JsonTree, NumbersKeepTheirKindAndValue) {
  JsonTree tree;
  ASSERT_TRUE(tree.parse(R"([-5, 5, 2.75, 18446744073709551615, true])"));
  const JsonTree::Id root = tree.root();
  EXPECT_EQ(tree.kind(tree.child(root, 0).value), JsonTree::Kind::kInteger);
  EXPECT_EQ(tree.integer(tree.child(root, 0).value), -5);
  EXPECT_EQ(tree.kind(tree.child(root, 1).value), JsonTree::Kind::kUnsigned);
  EXPECT_EQ(tree.kind(tree.child(root, 2).value), JsonTree::Kind::kFloat);
  EXPECT_DOUBLE_EQ(tree.floating(tree.child(root, 2).value), 2.75);
  EXPECT_EQ(tree.unsigned_integer(tree.child(root, 3).value), 18446744073709551615u);
  EXPECT_TRUE(tree.boolean(tree.child(root, 4).value));
  EXPECT_EQ(tree.child(root, 0).key, "");
}

// Nesting far deeper than a recursive parser or writer could survive on a
// block thread's stack.
TEST(JsonTree, DeepNestingNeitherParsingNorWritingRecurses) {
  constexpr size_t kDepth = 1000000;
  std::string text = std::string(kDepth, '[') + std::string(kDepth, ']');
  JsonTree tree;
  ASSERT_TRUE(tree.parse(text));
  EXPECT_EQ(compact(tree), text);
  std::string objects;
  for (size_t i = 0; i < kDepth; ++i) objects += "{\"k\":";
  objects += "1" + std::string(kDepth, '}');
  ASSERT_TRUE(tree.parse(objects));
  EXPECT_EQ(compact(tree), objects);
}

TEST(JsonTree, ReusedForAnotherDocumentHoldsOnlyThatOne) {
  JsonTree tree;
  std::string big = "{";
  for (int i = 0; i < 50000; ++i) big += "\"k" + std::to_string(i) + "\":[\"v\"],";
  big += "\"z\":0}";
  ASSERT_TRUE(tree.parse(big));
  ASSERT_FALSE(tree.parse("{\"broken\":"));
  ASSERT_TRUE(tree.parse(R"({"b":"x","a":[]})"));
  EXPECT_EQ(compact(tree), R"({"a":[],"b":"x"})");
}

TEST(JsonText, StringsAreEscapedAsTheLibraryDoes) {
  std::string every_byte;
  for (int c = 1; c < 0x80; ++c) every_byte.push_back(static_cast<char>(c));
  every_byte.push_back('\0');
  every_byte += "\xc3\xa9\xe2\x82\xac";
  std::string out;
  append_json_string(out, every_byte);
  EXPECT_EQ(out, json(every_byte).dump());
}

TEST(JsonText, NumbersAreWrittenAsTheLibraryDoes) {
  for (double value : {0.0, -0.0, 1.0, 0.5, -2.5e-10, 1e21, 123456789012.0, 3.14159, 1e-5}) {
    std::string out;
    append_json_float(out, value);
    EXPECT_EQ(out, json(value).dump()) << value;
  }
  std::string out;
  append_json_integer(out, INT64_MIN);
  EXPECT_EQ(out, json(INT64_MIN).dump());
  out.clear();
  append_json_unsigned(out, UINT64_MAX);
  EXPECT_EQ(out, json(UINT64_MAX).dump());
}
