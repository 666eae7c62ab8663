#include "zeb/rf_node_rule.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

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
  const std::string rewritten = std::regex_replace(ref, pattern_, content_rewrite_);
  if (rewritten.size() + 1 > out_size) return 0;
  std::memcpy(out, rewritten.c_str(), rewritten.size() + 1);
  return 1;
}

bool RFNodeRule::matches(const char* ref) const {
  if (ref == nullptr) return false;
  if (literal_) return literal_text_ == ref;
  return std::regex_match(ref, pattern_);
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
  pattern_ = std::regex(node_ref_, std::regex::ECMAScript);
  literal_ = literal_text(node_ref_, literal_text_);
}

void RFNodeRule::set_content_rewrite(std::string content_rewrite) {
  content_rewrite_ = std::move(content_rewrite);
}

}  // namespace zeb
