#pragma once

#include <string>
#include <vector>

namespace qor {

// The health of the whole chain, asked of every block of BlockChain: a block is
// unhealthy when its `is_healthy` says so or when it has been silent for longer
// than its idle limit. Used by the health file, the HTTP health answers and
// the service manager's watchdog, from their own threads at once; a block
// going silent or getting data again is logged once, whoever notices it.
class ChainHealth {
 public:
  struct Problem {
    std::string block;
    std::string reason;
  };

  // Every unhealthy block, in construction order; empty when all are healthy.
  static std::vector<Problem> problems();
  // True once every block has its thread and every block that brings data into
  // the chain has been healthy at least once (it had its connection).
  static bool ready();
};

}  // namespace qor
