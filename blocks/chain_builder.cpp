#include "blocks/chain_builder.h"

#include <stdexcept>

#include "blocks/block_factory.h"
#include "blocks/config_block.h"
#include "blocks/util/text_case.h"
#include "framework/exception.h"
#include "framework/port.h"
#include "framework/status.h"

using nlohmann::json;

namespace {

// "block:port[:ignored]" into block and port; no colon gives an empty port.
std::pair<std::string, std::string> split_side(const std::string& side) {
  const size_t first = side.find(':');
  if (first == std::string::npos) return {side, ""};
  const size_t second = side.find(':', first + 1);
  const size_t length = second == std::string::npos ? std::string::npos : second - first - 1;
  return {side.substr(0, first), side.substr(first + 1, length)};
}

// The named section, or null when it is absent (the caller reports that case).
const json& section_of(const json& document, const char* name) {
  static const json absent;
  auto it = document.find(name);
  return it == document.end() ? absent : *it;
}

}  // namespace

int ChainBuilder::create_blocks(const json& document, bool keep_going) {
  const json& section = section_of(document, "blocks");
  if (!section.is_object()) return 0;  // null: an empty section
  for (auto it = section.begin(); it != section.end(); ++it) {
    const std::string& name = it.key();
    const json& entry = it.value();
    if (!entry.is_object() || !entry.contains("type") || !entry["type"].is_string()) {
      errors_ << "ERROR: Ignoring block config: " << name << " unable to determine type"
              << std::endl;
      ++problems_;
      continue;
    }
    const std::string type = to_upper(entry["type"].get<std::string>());
    static const json no_config = json::object();
    const auto found = entry.find("config");
    const json& config = found != entry.end() && found->is_object() ? *found : no_config;
    const auto& factories = block_factories();
    auto factory = factories.find(type);
    if (factory == factories.end()) {
      errors_ << "ERROR: ignoring block config: " << name << " could not find block type: " << type
              << std::endl;
      ++problems_;
      continue;
    }
    std::string reason;
    try {
      blocks_[name] = factory->second(name, config);
      types_[name] = type;
      continue;
    } catch (const std::exception& e) {
      // Not only rejected configurations: a failing file system or JSON access
      // must end start-up just as orderly.
      reason = e.what();
    } catch (...) {
      reason = "unknown error";
    }
    errors_ << "ERROR unable to initialize block: " << name << " of type: " << type << "\n\t"
            << reason << std::endl;
    ++problems_;
    if (!keep_going) return -1;
  }
  return problems_ == 0 || !keep_going ? 0 : -1;
}

void ChainBuilder::map_blocks(const json& document) {
  const json& section = section_of(document, "mappings");
  if (!section.is_object()) return;  // null: nothing to link
  for (auto it = section.begin(); it != section.end(); ++it) {
    try {
      const auto source = split_side(it.key());
      qor::Block* source_block = find_block(source.first);
      if (source_block == nullptr) {
        errors_ << "ERROR: Unable to find block: " << source.first << std::endl;
        ++problems_;
        continue;
      }
      if (!it.value().is_string()) {
        errors_ << "ERROR: Mappings section should only contain strings, skipping: " << it.key()
                << std::endl;
        ++problems_;
        continue;
      }
      const auto destination = split_side(it.value().get<std::string>());
      qor::Block* destination_block = find_block(destination.first);
      if (destination_block == nullptr) {
        errors_ << "ERROR: Unable to find block: " << destination.first << std::endl;
        ++problems_;
        continue;
      }
      link(*source_block, source.second, *destination_block, destination.second);
    } catch (const std::exception&) {
      errors_ << "ERROR: Error parsing mappings section of config" << std::endl;
      ++problems_;
    }
  }
}

int ChainBuilder::link(qor::Block& source, const std::string& source_port, qor::Block& destination,
                       const std::string& destination_port) {
  qor::Port* from = source.find_port(source_port);
  qor::Port* to = destination.find_port(destination_port);
  int result = qor::SUCCESS;
  if (from == nullptr || to == nullptr) {
    result = qor::MISSING_PORT;
  } else {
    try {
      from->connect(to);
    } catch (const qor::Exception& e) {
      result = e.code();
    }
  }
  if (result != qor::SUCCESS) {
    errors_ << "Problem connecting ports " << source.name() << "::" << source_port << " -> "
            << destination.name() << "::" << destination_port << ": " << qor::status_text(result)
            << std::endl;
    ++problems_;
  }
  return result;
}

qor::Block* ChainBuilder::find_block(const std::string& name) const {
  auto it = blocks_.find(name);
  return it == blocks_.end() ? nullptr : it->second.get();
}

std::string ChainBuilder::type_of(const std::string& name) const {
  auto it = types_.find(name);
  return it == types_.end() ? std::string() : it->second;
}

void ChainBuilder::check_blocks() {
  for (const auto& entry : blocks_) {
    const auto* block = dynamic_cast<const ConfigBlock*>(entry.second.get());
    if (block == nullptr) continue;
    std::vector<std::string> found;
    block->check(found);
    for (const std::string& problem : found) {
      errors_ << "ERROR: block " << entry.first << ": " << problem << std::endl;
      ++problems_;
    }
  }
}

ChainBuilder::~ChainBuilder() {
  for (auto& entry : blocks_) entry.second->join();
}

void ChainBuilder::destroy_block(qor::Block* block) {
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
    if (it->second.get() != block) continue;
    // Its threads end before any destructor runs: one that had only just
    // started could otherwise call run() through a half-destroyed object.
    block->join();
    std::unique_ptr<qor::Block> doomed = std::move(it->second);
    blocks_.erase(it);
    return;
  }
}
