#include "framework/chain_health.h"

#include <chrono>
#include <iostream>

#include "framework/block.h"
#include "framework/block_chain.h"

namespace qor {

std::vector<ChainHealth::Problem> ChainHealth::problems() {
  std::vector<Problem> found;
  const auto now = IdleWatch::Clock::now();
  BlockChain::instance().all_of([&](Block* block) {
    if (!block->is_healthy()) found.push_back({block->name(), block->unhealthy_reason()});
    IdleWatch& watch = block->idle_watch();
    const BlockStats& stats = block->stats();
    const auto silent = watch.look(stats.in() + stats.out(), now);
    const long seconds =
        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(silent).count());
    if (silent.count() > 0) {
      found.push_back({block->name(), "no data for " + std::to_string(seconds) + " s (max_idle_s " +
                                          std::to_string(watch.limit().count()) + ")"});
    }
    const int change = watch.take_change();
    if (change > 0) {
      std::cerr << "WARNING: block " + block->name() + ": no data for " + std::to_string(seconds) +
                       " s, unhealthy until data comes again\n"
                << std::flush;
    } else if (change < 0) {
      std::cerr << "block " + block->name() + ": data again\n" << std::flush;
    }
    return true;
  });
  return found;
}

bool ChainHealth::ready() {
  return BlockChain::instance().all_of([](Block* block) {
    if (!block->has_thread()) return false;
    if (!BlockChain::is_input(*block)) return true;
    if (!block->ever_ready() && block->is_ready()) block->note_ready();
    return block->ever_ready();
  });
}

}  // namespace qor
