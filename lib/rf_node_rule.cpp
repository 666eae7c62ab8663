#include "zeb/rf_node_rule.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "zeb/transport.h"

namespace zeb {

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
  return ref != nullptr && std::regex_match(ref, pattern_);
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
}

void RFNodeRule::set_content_rewrite(std::string content_rewrite) {
  content_rewrite_ = std::move(content_rewrite);
}

}  // namespace zeb
