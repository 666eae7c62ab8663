#include "zeb/registry_file.h"

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <ios>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

#include "zeb/log.h"
#include "zeb/rule_refused.h"
#include "zeb/transport.h"
#include "zeb/url.h"

namespace zeb {

namespace {

using nlohmann::json;

const char kDefaultDocument[] = R"({"info":{"file_version":1.0},"config":{},"mapping":[]})";

// Texts handed in by callers need not be valid UTF-8; dumping must not throw.
std::string compact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A number is a mask as it stands; fractions are cut. A value that no 32-bit
// mask can hold is refused rather than wrapped into some unrelated mask.
int methods_from_json(const json& value) {
  if (value.is_number_integer() || value.is_number_unsigned()) {
    if (value.is_number_unsigned() &&
        value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
      throw std::out_of_range("method mask out of range");
    }
    const auto mask = value.get<int64_t>();
    if (mask < std::numeric_limits<int>::min() || mask > std::numeric_limits<int>::max()) {
      throw std::out_of_range("method mask out of range");
    }
    return static_cast<int>(mask);
  }
  if (value.is_number_float()) {
    const double mask = std::trunc(value.get<double>());
    if (!(mask >= std::numeric_limits<int>::min() && mask <= std::numeric_limits<int>::max())) {
      throw std::out_of_range("method mask out of range");
    }
    return static_cast<int>(mask);
  }
  return RFNodeRule::methods_from_text(value.get<std::string>());
}

// Reads a whole file; a read error surfaces as std::ios_base::failure.
std::string read_file(std::ifstream& in) {
  in.exceptions(std::ios::badbit);
  std::string text;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(in.gcount()));
  }
  return text;
}

}  // namespace

RegistryFile::RegistryFile() : RegistryFile(nullptr, nullptr) {}

RegistryFile::RegistryFile(const char* source) : RegistryFile(nullptr, source) {}

RegistryFile::RegistryFile(const char* log_name, const char* source)
    : log_name_(log_name != nullptr ? log_name : ""), source_(source != nullptr ? source : "") {
  make_default_registry();
  init_log();
}

RegistryFile::~RegistryFile() = default;

void RegistryFile::make_default_registry() {
  document_ = std::make_unique<json>(json::parse(kDefaultDocument));
}

void RegistryFile::init_log() {
  log_ = get_log_safe(log_name_.c_str());
}

int RegistryFile::initialize() {
  if (source_.empty()) {
    log_warn(log_, "No config file to initialize, registry will be empty");
    return kRegistryNoSource;
  }
  if (document_ != nullptr) {
    document_.reset();
    log_debug(log_, "Initializing registry, deleted default registry");
  }

  const size_t rules_before = rules_.size();
  auto document = std::make_unique<json>();
  int result = kRegistryBadDocument;
  try {
    result = load_document(*document);
    if (result == 0) result = check_document(*document);
    if (result == 0) {
      result = parse_mappings(*document);
      if (rules_.empty()) {
        log_error(log_, "No mappings found, bad config.");
        result = kRegistryNoRules;
      }
    }
  } catch (const std::ios_base::failure& e) {
    log_error(log_, "Unable to open %s\n  Exception: %s", source_.c_str(), e.what());
    result = kRegistryUnreadable;
  } catch (const std::exception& e) {
    log_error(log_, "Unable to parse: %s\n Exception: %s", source_.c_str(), e.what());
    result = kRegistryBadDocument;
  }

  if (result < 0) {
    // Rules of a document that was refused must not stay behind.
    rules_.resize(rules_before);
    return result;
  }
  document_ = std::move(document);
  log_info(log_, "Parsed %s", source_.c_str());
  return result;
}

int RegistryFile::load_document(json& document) const {
  struct stat info {};
  if (::stat(source_.c_str(), &info) != 0) {
    document = json::parse(source_);
    log_info(log_, "Parsing registry from string");
    return 0;
  }
  if (!S_ISREG(info.st_mode)) {
    log_warn(log_, "Unable to open registry");
    return kRegistryUnreadable;
  }
  log_info(log_, "Parsing registry from file: %s", source_.c_str());
  std::ifstream in(source_, std::ios::binary);
  if (!in.is_open()) return kRegistryUnreadable;
  std::string text = read_file(in);
  static const char kByteOrderMark[] = "\xEF\xBB\xBF";
  if (text.compare(0, 3, kByteOrderMark) == 0) text.erase(0, 3);
  document = json::parse(text);
  return 0;
}

int RegistryFile::check_document(const json& document) const {
  if (!document.contains("info")) {
    log_error(log_, "Unable to find info section, bad conf");
    return kRegistryNoInfo;
  }
  const json& info = document.at("info");
  if (!info.contains("file_version")) {
    log_error(log_, "Unable to determine file version");
    return kRegistryNoFileVersion;
  }
  const auto file_version = info.at("file_version").get<float>();
  log_info(log_, "File version: %f", static_cast<double>(file_version));

  if (!document.contains("config")) {
    log_error(log_, "No plane configurations found, bad config.");
    return kRegistryNoConfig;
  }
  const json& config = document.at("config");
  if (!config.is_null() && !config.is_object()) {
    throw std::invalid_argument("\"config\" must be an object of plane configurations");
  }
  bool missing_addr = false;
  if (config.is_object()) {
    for (const auto& plane : config.items()) {
      if (!plane.value().is_object() || !plane.value().contains("transport_addr")) {
        log_error(log_, "Missing required transport addr in config: %s",
                  compact(plane.value()).c_str());
        missing_addr = true;
      }
    }
  }
  if (missing_addr) {
    log_error(log_, "Missing required config options");
    return kRegistryNoTransportAddr;
  }
  if (config.empty()) {
    log_error(log_, "No plane configs found");
    return kRegistryNoPlanes;
  }
  if (!document.contains("mapping")) {
    log_error(log_, "No mapping rules found, bad config.");
    return kRegistryNoMapping;
  }
  return 0;
}

int RegistryFile::parse_mappings(const json& document) {
  if (!document.contains("mapping")) return kRegistryNoMapping;
  const json& mapping = document.at("mapping");
  int result = kRegistryParsed;
  for (size_t i = 0; i < mapping.size(); ++i) {
    // at() refuses anything but an array; that ends the whole call.
    const json entry = mapping.at(i);
    try {
      auto rule = std::make_unique<RFNodeRule>(entry.at(2).get<std::string>());
      const auto plane_id = entry.at(0).get<std::string>();
      const json* plane = find_plane(document, plane_id);
      if (plane == nullptr) {
        log_error(log_, "Unable to find configuration %s for rule: %s", plane_id.c_str(),
                  compact(entry).c_str());
        result = kRegistryRulesRejected;
        continue;
      }
      bind_plane(*rule, plane_id, *plane);
      rule->set_methods(methods_from_json(entry.at(1)));
      rule->set_content_rewrite(entry.at(3).get<std::string>());
      rules_.push_back(std::move(rule));
      log_info(log_, "Rule: %s", compact(entry).c_str());
    } catch (const RuleRefused& e) {
      log_error(log_, "Rule refused (load error %d): %s: %s", kRegistryRulesRejected,
                compact(entry).c_str(), e.what());
      result = kRegistryRulesRejected;
    } catch (const std::exception&) {
      log_error(log_, "Unable to read mapping rule: %s", compact(entry).c_str());
      result = kRegistryRulesRejected;
    }
  }
  return result;
}

const json* RegistryFile::find_plane(const json& document, const std::string& id) const {
  const auto config = document.find("config");
  if (config == document.end() || !config->is_object()) return nullptr;
  const auto plane = config->find(id);
  return plane == config->end() ? nullptr : &*plane;
}

void RegistryFile::bind_plane(RFNodeRule& rule, const std::string& plane_id,
                              const json& plane) const {
  auto transport_addr = plane.at("transport_addr").get<std::string>();
  const Url url(transport_addr);
  rule.set_plane(plane_id, transport_addr, url.scheme(), compact(plane));
  rule.compile_pattern();
}

bool RegistryFile::add_plane(const char* plane_id, const char* plane_config_json) {
  if (plane_id == nullptr) {
    log_error(log_, "ERROR: NULL plane id in add_plane");
    return false;
  }
  if (plane_config_json == nullptr) {
    log_error(log_, "ERROR: NULL plane configuration in add_plane");
    return false;
  }
  json plane = json::parse(plane_config_json);
  if (!plane.is_object() || !plane.contains("transport_addr")) {
    log_error(log_, "ERROR: Missing required transport address");
    return false;
  }
  if (document_ == nullptr) {
    // A failed initialize leaves nothing to add to; quietly starting a new
    // document would hide that failure from whoever loaded the registry.
    log_error(log_, "ERROR: No registry document to add plane %s to", plane_id);
    return false;
  }
  (*document_)["config"][plane_id] = std::move(plane);
  return true;
}

bool RegistryFile::append_rule(const char* plane_id, int methods, const char* node_ref,
                               const char* content_rewrite) {
  if (plane_id == nullptr) {
    log_error(log_, "Bad plane ID for rule append");
    return false;
  }
  if (node_ref == nullptr) {
    log_error(log_, "Bad node reference for rule append");
    return false;
  }
  const json* plane = document_ != nullptr ? find_plane(*document_, plane_id) : nullptr;
  if (plane == nullptr) {
    log_error(log_, "Unknown plane: \"%s\" can't add mapping", plane_id);
    return false;
  }
  try {
    auto rule = std::make_unique<RFNodeRule>(node_ref);
    bind_plane(*rule, plane_id, *plane);
    rule->set_methods(methods);
    rule->set_content_rewrite(content_rewrite != nullptr ? content_rewrite : "");
    rules_.push_back(std::move(rule));
    return true;
  } catch (const std::exception& e) {
    log_error(log_, "Unable to add mapping rule\nException: %s", e.what());
    return false;
  }
}

int RegistryFile::lookup_node(int methods, const char* node_ref, NodeEntry** out) const {
  if (out == nullptr) return 1;
  *out = nullptr;
  if (node_ref == nullptr) {
    log_warn(log_, "RegistryFile::lookup_node : NULL node_ref, not found by default");
    return 1;
  }
  // No transport accepts a longer reference, so none is looked up.
  const size_t length = std::strlen(node_ref);
  if (length > kMaxReferenceLength) {
    log_warn(log_, "RegistryFile::lookup_node : node_ref of %zu bytes is too long, not found",
             length);
    return 1;
  }
  log_debug(log_, "RegistryFile::lookup_node : \"%s\"", node_ref);
  for (const auto& rule : rules_) {
    if ((methods & rule->methods()) == 0) continue;
    if (rule->matches(node_ref)) {
      *out = rule.get();
      return 0;
    }
  }
  return 1;
}

std::string RegistryFile::dump() const {
  json parsed = json::array();
  for (const auto& rule : rules_) {
    parsed.push_back({{"content_rewrite", rule->content_rewrite()},
                      {"match_methods", rule->methods()},
                      {"node_ref", rule->get_node_ref()},
                      {"plane", rule->plane_id()},
                      {"transport_addr", rule->transport_addr()}});
  }
  const json out = {{"full_reg", document_ != nullptr ? *document_ : json(nullptr)},
                    {"parsed_rules", std::move(parsed)},
                    {"rule_count", rules_.size()}};
  return compact(out);
}

}  // namespace zeb
