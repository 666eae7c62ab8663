#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "blocks/queue/disk_queue.h"
#include "blocks/zeb/zeb_out_block.h"

// "ZEBOUTQUEUE": like ZEBOUT, publishes ("PUB") or sets ("SET") every text of
// "input" at `node_ref`, but stores each text in a disk-backed queue first. A
// drain thread sends the stored texts in order, each until the plane takes
// it, and only then removes it from the queue; texts survive plane outages and
// restarts of the program, up to the byte budget. When the budget is used up,
// new texts are dropped and logged.
//
// Thread rules: `process` runs on the block's thread and only pushes; the
// drain thread only peeks, sends (the only user of the client) and pops; the
// queue allows exactly this one producer and one consumer and locks itself.
// `is_healthy` runs on the health-check thread. Both threads end on the
// block's stop flag.
class ZebOutQueueBlock : public ZebOutBlock {
 public:
  // Throws std::invalid_argument for a rejected configuration and
  // std::runtime_error when the queue directory or its files cannot be made.
  ZebOutQueueBlock(const std::string& name, const nlohmann::json& config);
  ~ZebOutQueueBlock() override;

  void process(qor::Port* port) override;

  // The byte budget that "max_cache_size" and "max_cache_size_units" describe
  // on a file system with `available` bytes free for unprivileged users.
  // Throws std::invalid_argument for values out of range.
  static uint64_t cache_budget(const nlohmann::json& config, uint64_t available);
  uint64_t max_cache_bytes() const { return max_cache_bytes_; }

 protected:
  // Stops the block and waits for the drain thread; a derived block whose
  // members deliveries reach calls it first in its destructor.
  void stop_draining();

 private:
  struct FreeDeleter {
    void operator()(char* block) const;
  };

  void drain();
  // Sends the oldest stored text until the plane takes it, then pops it.
  // `retry_ms` is the pause before the next attempt after a refusal.
  void drain_one(int64_t& retry_ms);
  void pop_delivered();

  uint64_t max_cache_bytes_ = 0;
  std::unique_ptr<DiskQueue> queue_;
  std::thread drain_thread_;
};
