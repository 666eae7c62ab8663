#pragma once

#include <map>
#include <string>

namespace zeb {

// Turns a rule's ECMAScript pattern into the syntax of a linear-time engine
// (RE2, matching bytes as Latin-1) with the same meaning, so that no rule can
// make a look-up take time beyond linear in the reference.
//
// The pattern must already have compiled with std::regex's ECMAScript grammar:
// the translation follows that grammar's structure (alternatives, groups,
// stacked quantifiers, assertions) and asks std::regex itself which bytes each
// single-character atom ('.', escapes, brackets) matches, so classes keep
// exactly the meaning they had. Patterns the engine cannot express are
// refused: back-references and lookahead assertions (matching them may take
// exponential time), and counted repeats above 1000.
//
// Thread rules: an instance is a single-use parser, used by one thread.
class RulePattern {
 public:
  static constexpr int kMaxRepeat = 1000;
  static constexpr int kMaxNesting = 200;

  // True with the translated pattern in *out; false with the reason in *why.
  static bool translate(const std::string& ecma, std::string* out, std::string* why);

 private:
  explicit RulePattern(const std::string& ecma) : source_(ecma) {}

  bool disjunction(std::string* out, int depth);
  bool alternative(std::string* out, int depth);
  // One atom with its quantifiers, or an assertion; false at '|', ')' or the end.
  bool term(std::string* out, int depth, bool* more);
  bool atom(std::string* out, int depth);
  bool quantifier(std::string* out);
  // The length of the escape at pos_ (after the backslash).
  size_t escape_length() const;
  // The length of the bracket expression starting at pos_ ('[').
  size_t bracket_length() const;
  // The class of bytes the single-character atom text matches.
  std::string byte_class(const std::string& atom_text);
  bool refuse(const std::string& why);

  const std::string& source_;
  size_t pos_ = 0;
  std::string why_;
  std::map<std::string, std::string> classes_;
};

}  // namespace zeb
