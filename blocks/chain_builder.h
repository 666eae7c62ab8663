#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "framework/block.h"

// Turns the "blocks" and "mappings" sections of a configuration into blocks and
// links. Problems with single entries are written to `errors` and skipped; only
// a block that fails to construct stops creation. Main thread only, before any
// block thread exists. Owns the blocks it made (they live as long as the
// builder, or until `destroy_block`, which the orderly stop calls from its own
// thread while the main thread only waits).
class ChainBuilder {
 public:
  explicit ChainBuilder(std::ostream& errors) : errors_(errors) {}
  // Ends every block's threads before any block is destroyed.
  ~ChainBuilder();
  ChainBuilder(const ChainBuilder&) = delete;
  ChainBuilder& operator=(const ChainBuilder&) = delete;

  // Creates the blocks of document["blocks"] in byte order of their names.
  // 0 when every entry was created or skipped, -1 when a constructor failed.
  // With `keep_going` creation goes on after a failed constructor, so that a
  // configuration check reports every block.
  int create_blocks(const nlohmann::json& document, bool keep_going = false);

  // Links the ports named in document["mappings"], in byte order of the keys.
  void map_blocks(const nlohmann::json& document);

  // Links source_block:source_port to destination_block:destination_port.
  // Returns a framework status and prints the problem line on failure.
  int link(qor::Block& source, const std::string& source_port, qor::Block& destination,
           const std::string& destination_port);

  qor::Block* find_block(const std::string& name) const;
  // The configured type of a block made by this builder ("" for others).
  std::string type_of(const std::string& name) const;

  // Asks every block for the problems a check finds without connecting, and
  // reports each with the block's name.
  void check_blocks();
  // Problem lines written so far: entries skipped or failed, links refused.
  size_t problems() const { return problems_; }

  // Destroys one block made by this builder (nothing for any other pointer).
  // The caller makes sure no other block still feeds it.
  void destroy_block(qor::Block* block);

 private:
  std::ostream& errors_;
  std::map<std::string, std::unique_ptr<qor::Block>> blocks_;
  // Written while blocks are created, read-only afterwards (from any thread).
  std::map<std::string, std::string> types_;
  size_t problems_ = 0;
};
