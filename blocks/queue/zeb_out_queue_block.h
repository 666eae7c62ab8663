#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "blocks/queue/disk_queue.h"
#include "blocks/queue/record_ages.h"
#include "blocks/zeb/zeb_out_block.h"

// "ZEBOUTQUEUE": like ZEBOUT, publishes ("PUB") or sets ("SET") every text of
// "input" at `node_ref`, but stores each text in a disk-backed queue first. The
// block's worker thread (the drain) sends the stored texts in order and removes
// each from the queue only once the plane has acknowledged it; texts survive
// plane outages and restarts of the program, up to the byte budget. When the
// budget is used up, new texts are dropped and logged.
//
// Publishing keeps up to `max_in_flight` texts unacknowledged, so the rate is
// not one round trip per text. A refused or lost publish makes the drain wait
// for every outstanding answer, pop the acknowledged front, then read the
// queue again from its oldest text: a text is sent again only after a failure,
// and then once.
//
// Thread rules: `process` runs on the block's thread and only pushes; the
// worker only reads, sends (the only user of the client) and pops; the queue
// allows exactly this one producer and one consumer and locks itself.
// Publish outcomes arrive on a transport thread and only mark `window_`
// (guarded by `window_lock_`) and wake the worker. `is_healthy` runs on the
// health-check thread.
class ZebOutQueueBlock : public ZebOutBlock {
 public:
  // Throws std::invalid_argument for a rejected configuration and
  // std::runtime_error when the queue directory or its files cannot be made.
  ZebOutQueueBlock(const std::string& name, const nlohmann::json& config);
  ~ZebOutQueueBlock() override;

  void process(qor::Port* port) override;
  // The plane's figures and the queue's: records, bytes, age of the oldest.
  void add_metrics(qor::MetricFamilies& metrics) const override;

  // The byte budget that "max_cache_size" and "max_cache_size_units" describe
  // on a file system with `available` bytes free for unprivileged users.
  // Throws std::invalid_argument for values out of range.
  static uint64_t cache_budget(const nlohmann::json& config, uint64_t available);
  uint64_t max_cache_bytes() const { return max_cache_bytes_; }

 protected:
  bool has_worker() const override { return true; }
  void work() override;

 private:
  // One text sent and not yet popped.
  struct Sent {
    uint64_t tag;
    bool answered;
    int status;
  };

  static void on_published(void* user, uint64_t tag, int status);
  // Pops the acknowledged texts at the front of the window; the status of an
  // answer other than success when one has arrived, else success.
  int pop_acknowledged();
  // Sends the next stored text (and recovers when that fails); false when
  // there is none or the window is full.
  bool send_next();
  // After a failure (`status`; success for a change of method): waits for
  // every outstanding answer, pops the acknowledged front and rewinds the
  // queue, so the rest is read again, then pauses before the next attempt.
  void recover(int status);
  void log_failure(int status);
  void pop_delivered();
  bool window_answered();

  uint64_t max_cache_bytes_ = 0;
  size_t max_in_flight_ = 0;
  std::unique_ptr<DiskQueue> queue_;
  // Noted by `process` and the worker, read by a scrape; locks itself.
  mutable RecordAges ages_;

  // Worker thread only.
  std::string text_;
  uint64_t next_tag_ = 0;
  int64_t retry_ms_ = 0;
  // False once the plane answered that it cannot track publishes: every text
  // is then delivered by a plain call and counted as taken when it returns.
  bool tracked_ = true;

  std::mutex window_lock_;
  std::deque<Sent> window_;  // guarded by window_lock_, oldest first
};
