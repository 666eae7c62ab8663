#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "zeb/export.h"
#include "zeb/registry.h"
#include "zeb/rf_node_rule.h"

namespace zeb {

// Results of RegistryFile::initialize and parse_mappings; above 1000 is success.
enum RegistryResult : int {
  kRegistryParsed = 1001,            // document loaded, every rule accepted
  kRegistryNoSource = 1002,          // no source; registry left as it was
  kRegistryRulesRejected = 1003,     // document loaded, some rules rejected
  kRegistryUnreadable = -1001,       // not a regular file, cannot be opened, or I/O failure
  kRegistryNoInfo = -1002,           // no "info"
  kRegistryNoFileVersion = -1003,    // no "info"."file_version"
  kRegistryNoConfig = -1004,         // no "config"
  kRegistryNoRules = -1005,          // no rule after parsing
  kRegistryNoMapping = -1006,        // no "mapping"
  kRegistryNoTransportAddr = -1007,  // a plane without "transport_addr"
  kRegistryBadDocument = -1008,      // bad JSON or a value of the wrong type
  kRegistryNoPlanes = -1009,         // "config" null or empty
};

// The registry: planes (named connection configurations with a transport
// address URL) and ordered mapping rules, kept as one JSON document:
//   {"info": {"file_version": n}, "config": {<plane id>: {"transport_addr": url, ...}},
//    "mapping": [[plane id, methods, node_ref pattern, content_rewrite], ...]}
// The document comes from a file, from JSON text given in place of a file name,
// or from the built-in empty document that add_plane and append_rule fill.
//
// Ownership: the registry owns its document and rules. Look-ups hand out rule
// pointers, so the registry must outlive every client and mapping using it.
// Thread rules: no lock. initialize, add_plane and append_rule must finish
// before the registry is shared; lookup_node and the rules' map_reference may
// then run on any number of threads at once.
class ZEB_EXPORT RegistryFile : public Registry {
 public:
  RegistryFile();
  // source: a file path or inline JSON text; null gives an empty source.
  explicit RegistryFile(const char* source);
  // Null log_name gives the empty name (the discarding logger); null or empty
  // source gives an empty source.
  RegistryFile(const char* log_name, const char* source);
  ~RegistryFile() override;
  RegistryFile(const RegistryFile&) = delete;
  RegistryFile& operator=(const RegistryFile&) = delete;

  // Loads source into a new document and appends its rules after any rule
  // already present; returns a RegistryResult. After a failure (other than
  // kRegistryNoSource) the registry holds no document: add_plane then refuses,
  // append_rule finds no plane and dump shows "full_reg" as null.
  int initialize() override;

  // A node_ref longer than kMaxReferenceLength is not found (and logged).
  int lookup_node(int methods, const char* node_ref, NodeEntry** out) const override;

  // Appends the rules of document's "mapping" array: kRegistryParsed when all
  // were accepted, kRegistryRulesRejected when one or more were rejected (each
  // is logged), kRegistryNoMapping without "mapping". Throws when "mapping" is
  // neither an array nor empty.
  int parse_mappings(const nlohmann::json& document);

  // Stores the plane configuration (JSON text of an object holding
  // "transport_addr") as plane plane_id, replacing one of that id; rules already
  // built keep what they copied. Returns false for a null id or text, a value
  // without "transport_addr", or a registry without document. Throws
  // nlohmann::json::parse_error on a JSON syntax error.
  bool add_plane(const char* plane_id, const char* plane_config_json);

  // Builds one rule for a known plane and appends it (not written into the
  // document's "mapping"). A null content_rewrite means none. Returns false, and
  // appends nothing, on any error (each is logged).
  bool append_rule(const char* plane_id, int methods, const char* node_ref,
                   const char* content_rewrite);

  // Compact JSON: {"full_reg": document, "parsed_rules": [{"content_rewrite",
  // "match_methods", "node_ref", "plane", "transport_addr"}...], "rule_count": n}.
  std::string dump() const;

  // Replaces the document by {"info":{"file_version":1.0},"config":{},"mapping":[]}.
  void make_default_registry();
  // Takes the logger named log_name (created before this call to be used).
  void init_log();

 private:
  int load_document(nlohmann::json& document) const;
  int check_document(const nlohmann::json& document) const;
  const nlohmann::json* find_plane(const nlohmann::json& document, const std::string& id) const;
  void bind_plane(RFNodeRule& rule, const std::string& plane_id, const nlohmann::json& plane) const;

  std::string log_name_;
  std::string source_;
  std::vector<std::unique_ptr<RFNodeRule>> rules_;
  std::unique_ptr<nlohmann::json> document_;
  void* log_ = nullptr;
};

}  // namespace zeb
