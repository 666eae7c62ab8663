#pragma once

#include <memory>
#include <string>

#include "zeb/node_entry.h"

namespace re2 {
class RE2;
}  // namespace re2

namespace zeb {

// One mapping rule of a RegistryFile: for the methods in its mask, a node
// reference that matches the whole pattern belongs to the rule's plane and is
// rewritten by the replacement format before it reaches the transport.
//
// The registry builds a rule completely before it publishes it; afterwards the
// rule is only read and may be used from any number of threads at once. All
// texts are owned by the rule and stay valid as long as it lives.
class ZEB_EXPORT RFNodeRule : public NodeEntry {
 public:
  // node_ref is the pattern source; it is compiled by compile_pattern. A null
  // node_ref gives the empty text. The method mask starts at 0 (matches nothing).
  explicit RFNodeRule(const char* node_ref);
  explicit RFNodeRule(const std::string& node_ref);
  ~RFNodeRule() override;

  // With no rewrite configured: copies ref into out, cut to out_size - 1 bytes,
  // and returns -1. Otherwise replaces every match of the pattern in ref by the
  // rewrite (ECMAScript format: $&, $1..$99, $$, $`, $'); returns 1 when the
  // result and its NUL fit in out_size bytes, else 0 with out unchanged.
  // After an empty match the search goes on one character later. A null ref
  // or out, or out_size 0, returns 0.
  int map_reference(const char* ref, char* out, size_t out_size) const override;

  // True when the pattern matches the whole of ref.
  bool matches(const char* ref) const;

  // Method mask from a text: upper-cased, then each of "GET", "SET", "PUB" and
  // "SUB" found anywhere in it sets its bit ("subscribe" and "PUBSUB" work).
  static int methods_from_text(const std::string& text);

  // Builders, used while the owning registry makes the rule.
  void set_methods(int methods) { methods_ = methods; }
  void set_plane(std::string plane_id, std::string transport_addr, std::string transport_scheme,
                 std::string options);
  // Compiles node_ref with the ECMAScript grammar: throws std::regex_error
  // when it is not a valid pattern, RuleRefused when its matching could take
  // more than linear time (back-references, lookaheads) or it is too large.
  // Matching then runs on a linear-time engine with the same meaning.
  void compile_pattern();
  void set_content_rewrite(std::string content_rewrite);

  int methods() const { return methods_; }
  const std::string& plane_id() const { return plane_id_; }
  const std::string& transport_addr() const { return transport_addr_; }
  // The URL scheme of transport_addr, lower-cased: the loader's key.
  const std::string& transport_scheme() const { return transport_scheme_; }
  // The whole plane configuration object as compact JSON, keys in byte order.
  const std::string& options() const { return options_; }
  const std::string& content_rewrite() const { return content_rewrite_; }

 private:
  std::string replace_all(const char* ref) const;

  int methods_ = 0;
  std::string plane_id_;
  std::string transport_addr_;
  std::string transport_scheme_;
  std::string options_;
  std::unique_ptr<re2::RE2> pattern_;
  // A pattern without operators matches one text only: compared as bytes,
  // which spares every call the regex engine.
  bool literal_ = false;
  std::string literal_text_;
  std::string content_rewrite_;
};

}  // namespace zeb
