#include "zeb/rf_node_rule.h"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <regex>
#include <utility>
#include <vector>

#include "rule_pattern.h"
#include "zeb/rule_refused.h"
#include "zeb/transport.h"

namespace zeb {

namespace {

// ECMAScript's syntax characters; escaped with a backslash, each stands for
// itself, as does an escaped '/'.
bool is_syntax_character(char c) {
  return std::strchr("^$\\.*+?()[]{}|", c) != nullptr;
}

// The one text `pattern` matches, when it has no operator: every character is
// plain or a backslash before a syntax character. Any other escape (\d, \n,
// \x41 ...) or operator leaves it to the regex engine.
bool literal_text(const std::string& pattern, std::string& text) {
  text.clear();
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '\\') {
      if (i + 1 == pattern.size()) return false;
      const char escaped = pattern[++i];
      if (!is_syntax_character(escaped) && escaped != '/') return false;
      text += escaped;
    } else if (is_syntax_character(c)) {
      return false;
    } else {
      text += c;
    }
  }
  return true;
}

// The compiled engine's memory: a rule larger than this is refused, and its
// matching cache never grows beyond it.
constexpr int64_t kMaxPatternMemory = 1 << 20;

// Expands an ECMAScript replacement format for one match: $$, $&, $`
// (from `prefix_begin` to the match), $' (from the match to the end) and
// $n / $nn (a group that took part; any other number writes nothing).
void expand_format(const std::string& format, const re2::StringPiece* groups, size_t count,
                   const char* text, size_t size, size_t prefix_begin, std::string& out) {
  const size_t match_begin = static_cast<size_t>(groups[0].data() - text);
  const size_t match_end = match_begin + groups[0].size();
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '$') {
      out.push_back(format[i]);
      continue;
    }
    if (++i == format.size()) {
      out.push_back('$');
      break;
    }
    const char c = format[i];
    if (c == '$') {
      out.push_back('$');
    } else if (c == '&') {
      out.append(groups[0].data(), groups[0].size());
    } else if (c == '`') {
      out.append(text + prefix_begin, match_begin - prefix_begin);
    } else if (c == '\'') {
      out.append(text + match_end, size - match_end);
    } else if (is_digit(c)) {
      size_t number = static_cast<size_t>(c - '0');
      if (i + 1 < format.size() && is_digit(format[i + 1])) {
        number = number * 10 + static_cast<size_t>(format[++i] - '0');
      }
      if (number < count && groups[number].data() != nullptr) {
        out.append(groups[number].data(), groups[number].size());
      }
    } else {
      // Not a format: the '$' stands for itself and c is read again.
      out.push_back('$');
      --i;
    }
  }
}

}  // namespace

RFNodeRule::RFNodeRule(const char* node_ref) : NodeEntry(node_ref) {}

RFNodeRule::RFNodeRule(const std::string& node_ref) : NodeEntry(node_ref) {}

RFNodeRule::~RFNodeRule() = default;

int RFNodeRule::map_reference(const char* ref, char* out, size_t out_size) const {
  if (ref == nullptr || out == nullptr || out_size == 0) return 0;
  if (content_rewrite_.empty()) {
    const size_t length = std::min(std::strlen(ref), out_size - 1);
    std::memcpy(out, ref, length);
    out[length] = '\0';
    return -1;
  }
  const std::string rewritten = replace_all(ref);
  if (rewritten.size() + 1 > out_size) return 0;
  std::memcpy(out, rewritten.c_str(), rewritten.size() + 1);
  return 1;
}

bool RFNodeRule::matches(const char* ref) const {
  if (ref == nullptr) return false;
  if (literal_) return literal_text_ == ref;
  return pattern_ != nullptr && re2::RE2::FullMatch(ref, *pattern_);
}

std::string RFNodeRule::replace_all(const char* ref) const {
  if (pattern_ == nullptr) return ref;
  const size_t size = std::strlen(ref);
  const re2::StringPiece text(ref, size);
  const size_t count = static_cast<size_t>(pattern_->NumberOfCapturingGroups()) + 1;
  std::vector<re2::StringPiece> groups(count);
  std::string out;
  size_t prefix_begin = 0;
  size_t start = 0;
  while (start <= size && pattern_->Match(text, start, size, re2::RE2::UNANCHORED, groups.data(),
                                          static_cast<int>(count))) {
    const size_t match_begin = static_cast<size_t>(groups[0].data() - ref);
    const size_t match_end = match_begin + groups[0].size();
    out.append(ref + prefix_begin, match_begin - prefix_begin);
    expand_format(content_rewrite_, groups.data(), count, ref, size, prefix_begin, out);
    prefix_begin = match_end;
    start = match_end;
    if (match_begin == match_end) {
      if (match_end == size) break;
      ++start;
    }
  }
  out.append(ref + prefix_begin, size - prefix_begin);
  return out;
}

int RFNodeRule::methods_from_text(const std::string& text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  int methods = 0;
  if (upper.find("GET") != std::string::npos) methods |= kMethodGet;
  if (upper.find("SET") != std::string::npos) methods |= kMethodSet;
  if (upper.find("PUB") != std::string::npos) methods |= kMethodPub;
  if (upper.find("SUB") != std::string::npos) methods |= kMethodSub;
  return methods;
}

void RFNodeRule::set_plane(std::string plane_id, std::string transport_addr,
                           std::string transport_scheme, std::string options) {
  plane_id_ = std::move(plane_id);
  transport_addr_ = std::move(transport_addr);
  transport_scheme_ = std::move(transport_scheme);
  options_ = std::move(options);
}

void RFNodeRule::compile_pattern() {
  // Validates the pattern exactly as before: invalid ones are refused with the
  // same error.
  { const std::regex grammar(node_ref_, std::regex::ECMAScript); }
  std::string translated;
  std::string why;
  if (!RulePattern::translate(node_ref_, &translated, &why)) throw RuleRefused(why);
  re2::RE2::Options options;
  options.set_encoding(re2::RE2::Options::EncodingLatin1);
  options.set_log_errors(false);
  options.set_max_mem(kMaxPatternMemory);
  auto compiled = std::make_unique<re2::RE2>(translated, options);
  if (!compiled->ok()) throw RuleRefused(compiled->error());
  pattern_ = std::move(compiled);
  literal_ = literal_text(node_ref_, literal_text_);
}

void RFNodeRule::set_content_rewrite(std::string content_rewrite) {
  content_rewrite_ = std::move(content_rewrite);
}

}  // namespace zeb
