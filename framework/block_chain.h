#pragma once

#include <mutex>
#include <vector>

namespace qor {

class Block;

// The process-wide list of live blocks in construction order. Blocks are not
// owned. Filled on the main thread at start-up; the health-check thread reads
// it, so every access holds `lock_`.
class BlockChain {
 public:
  static BlockChain& instance();

  void add(Block* block);
  void remove(Block* block);
  std::vector<Block*> blocks() const;

  // Starts the thread of every block without one, the most recently
  // constructed first. Thread creation errors propagate.
  void start();

  // Calls fn on each block in construction order, stopping at the first false.
  // Returns false when fn did.
  template <typename Fn>
  bool all_of(Fn fn) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (Block* block : blocks_) {
      if (!fn(block)) return false;
    }
    return true;
  }

 private:
  BlockChain() = default;
  mutable std::mutex lock_;
  std::vector<Block*> blocks_;
};

}  // namespace qor
