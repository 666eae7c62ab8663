#include "framework/block_chain.h"

#include <algorithm>

#include "framework/block.h"

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
