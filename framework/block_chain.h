#pragma once

#include <mutex>
#include <string>
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

  // `blocks` in chain order: each block after every block that feeds it
  // through a link; blocks on a loop of links keep their relative order.
  static std::vector<Block*> chain_order(const std::vector<Block*>& blocks);
  // True for a block that brings data into the chain: it has no input port.
  static bool is_input(const Block& block);
  // One pass over `order` (chain order, inputs already stopped): true when
  // every input port is empty and every block idle, so that no message is
  // left inside the chain. Any thread; reads ports under their locks.
  static bool drained(const std::vector<Block*>& order);
  // "a:out -> b:in holds 3 messages" for each link of `order` that is not empty.
  static std::vector<std::string> held_messages(const std::vector<Block*>& order);

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
