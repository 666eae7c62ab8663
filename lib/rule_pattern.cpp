#include "rule_pattern.h"

#include <cctype>
#include <cstdio>
#include <regex>

namespace zeb {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

void append_byte(std::string* out, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x{%02x}", value);
  out->append(text);
}

}  // namespace

bool RulePattern::translate(const std::string& ecma, std::string* out, std::string* why) {
  RulePattern parser(ecma);
  std::string result;
  if (!parser.disjunction(&result, 0)) {
    *why = parser.why_;
    return false;
  }
  if (parser.pos_ != ecma.size()) {
    *why = "unexpected ')' at offset " + std::to_string(parser.pos_);
    return false;
  }
  *out = std::move(result);
  return true;
}

bool RulePattern::refuse(const std::string& why) {
  if (why_.empty()) why_ = why;
  return false;
}

bool RulePattern::disjunction(std::string* out, int depth) {
  if (depth > kMaxNesting) {
    return refuse("groups nested deeper than " + std::to_string(kMaxNesting));
  }
  if (!alternative(out, depth)) return false;
  while (pos_ < source_.size() && source_[pos_] == '|') {
    ++pos_;
    out->push_back('|');
    if (!alternative(out, depth)) return false;
  }
  return true;
}

bool RulePattern::alternative(std::string* out, int depth) {
  bool more = true;
  while (more) {
    if (!term(out, depth, &more)) return false;
  }
  return true;
}

bool RulePattern::term(std::string* out, int depth, bool* more) {
  *more = false;
  if (pos_ >= source_.size()) return true;
  const char c = source_[pos_];
  if (c == '|' || c == ')') return true;
  *more = true;
  if (c == '^' || c == '$') {
    out->push_back(c);
    ++pos_;
    return true;
  }
  if (c == '\\' && pos_ + 1 < source_.size() &&
      (source_[pos_ + 1] == 'b' || source_[pos_ + 1] == 'B')) {
    out->append(source_, pos_, 2);
    pos_ += 2;
    return true;
  }
  if (source_.compare(pos_, 3, "(?=") == 0 || source_.compare(pos_, 3, "(?!") == 0) {
    return refuse("lookahead assertion at offset " + std::to_string(pos_));
  }
  std::string unit;
  if (!atom(&unit, depth)) return false;
  bool quantified = false;
  std::string count;
  while (pos_ < source_.size()) {
    count.clear();
    if (!quantifier(&count)) return false;
    if (count.empty()) break;
    // A second quantifier applies to the first one's result; the engine wants
    // that said with a group.
    if (quantified) unit = "(?:" + unit + ")";
    unit += count;
    quantified = true;
  }
  out->append(unit);
  return true;
}

bool RulePattern::atom(std::string* out, int depth) {
  const char c = source_[pos_];
  if (c == '(') {
    const bool plain = source_.compare(pos_, 3, "(?:") == 0;
    pos_ += plain ? 3 : 1;
    out->append(plain ? "(?:" : "(");
    if (!disjunction(out, depth + 1)) return false;
    if (pos_ >= source_.size() || source_[pos_] != ')') return refuse("unbalanced group");
    ++pos_;
    out->push_back(')');
    return true;
  }
  size_t length = 1;
  if (c == '[') {
    length = bracket_length();
  } else if (c == '\\') {
    if (pos_ + 1 < source_.size() && is_digit(source_[pos_ + 1]) && source_[pos_ + 1] != '0') {
      return refuse("back-reference at offset " + std::to_string(pos_));
    }
    ++pos_;
    length = 1 + escape_length();
    --pos_;
  }
  if (length == 0 || pos_ + length > source_.size()) return refuse("malformed atom");
  out->append(byte_class(source_.substr(pos_, length)));
  pos_ += length;
  return true;
}

bool RulePattern::quantifier(std::string* out) {
  const char c = source_[pos_];
  if (c == '*' || c == '+' || c == '?') {
    out->push_back(c);
    ++pos_;
  } else if (c == '{') {
    size_t end = source_.find('}', pos_);
    if (end == std::string::npos) return refuse("unterminated repeat count");
    const std::string body = source_.substr(pos_ + 1, end - pos_ - 1);
    // Every count must be digits of at most 1000; longer digit runs are
    // refused before they could overflow.
    size_t start = 0;
    while (start <= body.size()) {
      size_t comma = body.find(',', start);
      if (comma == std::string::npos) comma = body.size();
      const std::string number = body.substr(start, comma - start);
      if (number.size() > 4 || (!number.empty() && std::stoi(number) > kMaxRepeat)) {
        return refuse("repeat count above " + std::to_string(kMaxRepeat) + " at offset " +
                      std::to_string(pos_));
      }
      start = comma + 1;
    }
    out->append(source_, pos_, end + 1 - pos_);
    pos_ = end + 1;
  } else {
    return true;
  }
  if (pos_ < source_.size() && source_[pos_] == '?') {
    out->push_back('?');
    ++pos_;
  }
  return true;
}

size_t RulePattern::escape_length() const {
  if (pos_ >= source_.size()) return 0;
  const char c = source_[pos_];
  if (c == 'c') return 2;
  if (c == 'x') return 3;
  if (c == 'u') return 5;
  if (is_digit(c) && c != '0') {
    size_t end = pos_ + 1;
    while (end < source_.size() && is_digit(source_[end])) ++end;
    return end - pos_;
  }
  return 1;
}

size_t RulePattern::bracket_length() const {
  size_t i = pos_ + 1;
  if (i < source_.size() && source_[i] == '^') ++i;
  while (i < source_.size()) {
    const char c = source_[i];
    if (c == ']') return i + 1 - pos_;
    if (c == '\\') {
      RulePattern inner(source_);
      inner.pos_ = i + 1;
      const size_t length = inner.escape_length();
      if (length == 0) return 0;
      i += 1 + length;
    } else if (c == '[' && i + 1 < source_.size() &&
               (source_[i + 1] == '.' || source_[i + 1] == ':' || source_[i + 1] == '=')) {
      const char kind = source_[i + 1];
      const size_t close = source_.find(kind, i + 2);
      if (close == std::string::npos) return 0;
      i = close + 2;
    } else {
      ++i;
    }
  }
  return 0;
}

std::string RulePattern::byte_class(const std::string& atom_text) {
  const auto known = classes_.find(atom_text);
  if (known != classes_.end()) return known->second;
  std::string out;
  if (atom_text.size() == 1 && atom_text[0] != '.') {
    const unsigned char c = static_cast<unsigned char>(atom_text[0]);
    if (std::isalnum(c) || c == '/' || c == '_' || c == '-') {
      out.push_back(static_cast<char>(c));
    } else {
      append_byte(&out, c);
    }
  } else {
    // std::regex decides which bytes the atom stands for, so escapes, classes
    // and brackets keep the meaning they always had.
    const std::regex single(atom_text, std::regex::ECMAScript);
    bool members[256];
    for (unsigned b = 0; b < 256; ++b) {
      const std::string text(1, static_cast<char>(b));
      members[b] = std::regex_match(text, single);
    }
    out.push_back('[');
    bool any = false;
    for (unsigned b = 0; b < 256;) {
      if (!members[b]) {
        ++b;
        continue;
      }
      unsigned last = b;
      while (last + 1 < 256 && members[last + 1]) ++last;
      append_byte(&out, b);
      if (last > b) {
        out.push_back('-');
        append_byte(&out, last);
      }
      any = true;
      b = last + 1;
    }
    // A class of no byte (such as "[]") matches nothing.
    out = any ? out + "]" : "[^\\x{00}-\\x{ff}]";
  }
  classes_.emplace(atom_text, out);
  return out;
}

}  // namespace zeb
