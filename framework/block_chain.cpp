#include "framework/block_chain.h"

#include <algorithm>
#include <map>
#include <set>

#include "framework/block.h"
#include "framework/port.h"

namespace qor {

BlockChain& BlockChain::instance() {
  static BlockChain chain;
  return chain;
}

void BlockChain::add(Block* block) {
  std::lock_guard<std::mutex> guard(lock_);
  blocks_.push_back(block);
}

void BlockChain::remove(Block* block) {
  std::lock_guard<std::mutex> guard(lock_);
  blocks_.erase(std::remove(blocks_.begin(), blocks_.end(), block), blocks_.end());
}

std::vector<Block*> BlockChain::blocks() const {
  std::lock_guard<std::mutex> guard(lock_);
  return blocks_;
}

void BlockChain::start() {
  std::vector<Block*> snapshot = blocks();
  for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) (*it)->start_thread();
}

}  // namespace qor

namespace qor {

namespace {

// The blocks that `block`'s output ports feed.
std::vector<Block*> fed_by(const Block& block) {
  std::vector<Block*> fed;
  for (const auto& entry : block.ports()) {
    const Port* port = entry.second;
    if (port->is_input()) continue;
    for (size_t i = 0; i < port->connection_count(); ++i) {
      Port* sink = port->connection(i);
      if (sink != nullptr && sink->owner() != nullptr) fed.push_back(sink->owner());
    }
  }
  return fed;
}

}  // namespace

std::vector<Block*> BlockChain::chain_order(const std::vector<Block*>& blocks) {
  const std::set<Block*> known(blocks.begin(), blocks.end());
  std::map<Block*, int> feeders;
  for (Block* block : blocks) feeders.emplace(block, 0);
  for (Block* block : blocks) {
    for (Block* fed : fed_by(*block)) {
      if (known.count(fed) != 0) ++feeders[fed];
    }
  }
  std::vector<Block*> order;
  std::set<Block*> placed;
  // Repeatedly takes the first block in construction order whose feeders are
  // all placed; on a loop, the first block not yet placed breaks it.
  while (order.size() < blocks.size()) {
    Block* next = nullptr;
    for (Block* block : blocks) {
      if (placed.count(block) == 0 && feeders[block] == 0) {
        next = block;
        break;
      }
    }
    if (next == nullptr) {
      for (Block* block : blocks) {
        if (placed.count(block) == 0) {
          next = block;
          break;
        }
      }
    }
    placed.insert(next);
    order.push_back(next);
    for (Block* fed : fed_by(*next)) {
      if (known.count(fed) != 0 && placed.count(fed) == 0) --feeders[fed];
    }
  }
  return order;
}

bool BlockChain::is_input(const Block& block) {
  for (const auto& entry : block.ports()) {
    if (entry.second->is_input()) return false;
  }
  return true;
}

bool BlockChain::drained(const std::vector<Block*>& order) {
  for (Block* block : order) {
    // The ports first, then the flag: a message taken from a port after this
    // look was taken while the block was busy, and it is either still in the
    // block (busy) or in a later block's port, which this pass reads later.
    for (const auto& entry : block->ports()) {
      if (entry.second->is_input() && entry.second->queued() != 0) return false;
    }
    if (!is_input(*block) && !block->idle()) return false;
  }
  return true;
}

std::vector<std::string> BlockChain::held_messages(const std::vector<Block*>& order) {
  std::vector<std::string> lines;
  for (Block* block : order) {
    for (const auto& entry : block->ports()) {
      const Port* port = entry.second;
      if (port->is_input()) continue;
      for (size_t i = 0; i < port->connection_count(); ++i) {
        Port* sink = port->connection(i);
        const size_t held = sink != nullptr ? sink->queued() : 0;
        if (held == 0) continue;
        const std::string to = sink->owner() != nullptr ? sink->owner()->name() : "?";
        lines.push_back(block->name() + ":" + port->name() + " -> " + to + ":" + sink->name() +
                        " holds " + std::to_string(held) + " messages");
      }
    }
  }
  return lines;
}

}  // namespace qor
