#pragma once

#include <chrono>
#include <functional>
#include <string>

// The figures of the running chain in the Prometheus text format: per block its
// message counters, drops by reason, errors and health; per link its fill; what
// blocks add of their own (planes, queues); uptime and version. Reads
// BlockChain under its lock; any thread, while no block is being destroyed.
class ChainMetrics {
 public:
  // `type_of` gives the configured type of a block by name; `version` is the
  // program's.
  ChainMetrics(std::function<std::string(const std::string&)> type_of,
               std::chrono::steady_clock::time_point started, std::string version);

  std::string text() const;

 private:
  std::function<std::string(const std::string&)> type_of_;
  std::chrono::steady_clock::time_point started_;
  std::string version_;
};
