#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "blocks/queue/queue_cursor.h"
#include "blocks/queue/queue_file.h"

// A persistent first-in, first-out queue of byte strings in a directory, with
// a byte budget. Records are appended to record file "0" or "1" (the write
// file); when the next record would take the write file past the budget, the
// writer moves to the other file, which the readers have left and removed by
// then. A marker "<file>.new" names the file the queue created to write to, so
// a restarted queue knows which file is the newer one.
//
// A record is stored in two writes: header (state 0) with payload, then the
// state set to 1. A process that ends in between leaves state 0, which readers
// treat as the end; the next start cuts the file there. The header's padding
// holds a checksum of the payload, so a record torn by a power cut stops the
// reader instead of being delivered. Delivered records are marked 3 in place.
//
// The budget bounds every byte the files take: unconsumed records, consumed
// ones not yet given back, and disk space claimed ahead of the writer. Space
// is given back while a file is being read: the header at offset 0 is made to
// span everything consumed, then the disk blocks under it are freed, so any
// reader of the format skips straight to the first live record.
//
// The files are read and written with positioned system calls, never mapped:
// a file that someone truncates, removes or replaces while the queue runs is
// noticed (short reads, a periodic check of the write file), logged, and the
// queue starts over from what the files then hold. A file system that is full
// makes `push` decline the record; the drops are counted and logged at most
// every few seconds.
//
// Threads: exactly one producer thread calls `push`; exactly one consumer
// thread calls `peek`, `next`, `rewind` and `pop`; the counters may be read
// from any thread. A push never waits for a read except while the writer
// changes files.
class DiskQueue {
 public:
  enum class Sync {
    kNone,      // nothing forced to disk: survives the end of the process only
    kInterval,  // data forced to disk at most `interval_ms` after its push
    kAlways,    // data forced to disk before `push` returns
  };
  struct Options {
    uint64_t max_bytes = 0;
    Sync sync = Sync::kNone;
    uint32_t interval_ms = 1000;
  };
  // "none", "interval" or "always"; false for anything else.
  static bool parse_sync(const std::string& text, Sync* out);

  // Opens the queue in `dir` (created with mode 0775 when missing), taking
  // over the records of an earlier run. `logger` receives the queue's own log
  // lines (may be null). Throws std::runtime_error "Unable to open, or create
  // directory", "Could not open, or create file" or "Could not open, or create
  // new file".
  DiskQueue(const std::string& dir, const Options& options, void* logger = nullptr);
  DiskQueue(const std::string& dir, uint64_t max_bytes, void* logger = nullptr);
  ~DiskQueue();
  DiskQueue(const DiskQueue&) = delete;
  DiskQueue& operator=(const DiskQueue&) = delete;

  // Stores a copy of the bytes. Returns length + 16, or 0 when the record does
  // not fit the budget or cannot be written (nothing is stored then).
  size_t push(const char* data, size_t length);
  // The record at the read position, left there. Sets `*found`; when true,
  // `*out` is a copy of the payload from malloc (never null, even for an empty
  // payload) that the caller frees, and the result is the payload length. When
  // false the result is 0 and `*out` is untouched.
  size_t peek(char** out, bool* found);
  // Copies the record at the read position into `out` and moves the read
  // position past it; the record stays queued until `pop`. False when no
  // committed record lies ahead of the read position.
  bool next(std::string& out);
  // Moves the read position back to the oldest unconsumed record, so that the
  // records read but not popped are read again (after a lost connection).
  void rewind();
  // Marks the oldest committed, unconsumed record consumed. Returns its length
  // + 16, or 0 when there is none. A read position it passes catches up.
  size_t pop();

  // Bytes of all committed, unconsumed records, headers included.
  uint64_t size_bytes() const { return total_bytes_.load(std::memory_order_relaxed); }
  // Committed, unconsumed records.
  uint64_t records() const { return records_.load(std::memory_order_relaxed); }
  // Bytes the queue's files take on disk, as the budget counts them.
  uint64_t disk_bytes() const;
  // Records `push` declined since the queue was opened, for want of budget or
  // of disk space.
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  // Times the data of a queue file was forced to disk.
  uint64_t syncs() const { return syncs_.load(std::memory_order_relaxed); }
  // Bytes the queue files in `dir` take on disk now (0 when there are none).
  static uint64_t bytes_on_disk(const std::string& dir);

 private:
  using Clock = std::chrono::steady_clock;

  std::string record_path(int index) const;
  std::string marker_path(int index) const;
  bool create_marker(int index) const;
  void sync_directory() const;
  // Takes stock of the files as they are; throws as the constructor does.
  void open_existing();
  void close_all();
  // Starts over from what the files hold now, after they changed underneath.
  // Needs write_lock_; takes read_lock_.
  void reopen();
  void reopen_if_changed();
  bool write_file_changed() const;
  void report_damage(const QueueCursor& cursor, QueueCursor::Stop stop, const char* context);

  // Where the reader at `cursor` must stop; `*left` tells whether the writer
  // has left the reader's file, so that the bound is that file's end.
  uint64_t read_bound(const QueueCursor& cursor, uint64_t limit, bool* left) const;
  // Moves `cursor` on to the other record file once it has read all of its
  // own; false when it stays (the other file cannot be opened).
  bool leave_file(QueueCursor& cursor, uint64_t& limit, bool pops);
  // Reads on from `cursor` to the next committed record, moving to the other
  // file where the writer has left the reader's one.
  QueueCursor::Stop find_record(QueueCursor& cursor, uint64_t& limit, uint64_t* length,
                                uint64_t* bound, bool pops);
  bool read_record(std::string& out, bool advance);
  void catch_up_with_pop();
  // Puts the read position where the pop side stands; needs read_lock_.
  void read_from_pop_place();
  // Moves the pop side over consumed records and out of a file read through,
  // so that their space can go; pops nothing.
  void settle_pop_side();
  void reclaim();

  size_t store(const char* data, size_t length);
  void publish_write_end();
  bool switch_write_file(uint64_t record);
  bool reserve(uint64_t end);
  void note_write_failure(int error);
  void after_push();
  void add_usage(int index, uint64_t bytes);
  void release_usage(int index, uint64_t bytes);

  void flush_loop();
  void sync_write_file();

  const std::string dir_;
  void* const logger_;
  const Options options_;
  const uint64_t max_bytes_;
  // Disk space is claimed ahead of the writer, and given back behind the pop
  // side, in steps of these sizes: few system calls, little slack.
  const uint64_t claim_step_;
  const uint64_t reclaim_step_;

  // Guarded by write_lock_.
  QueueFile write_stream_;
  int write_index_ = 0;
  uint64_t write_offset_ = 0;
  uint64_t allocated_ = 0;
  // Counts the files the writer has been in, as the cursors' serials do.
  uint64_t write_serial_ = 0;
  // False while the files cannot be opened; pushes are declined then.
  bool usable_ = false;
  bool claims_ahead_ = true;
  Clock::time_point last_check_;
  Clock::time_point last_failure_report_;
  uint64_t failures_unreported_ = 0;

  // Guarded by read_lock_ (taken after write_lock_ where both are held).
  QueueCursor read_stream_{false};
  QueueCursor pop_stream_{true};
  // Set by the writer when it leaves a file: where that file ends. Each reader
  // clears its own once it has moved on.
  uint64_t read_limit_ = 0;
  uint64_t pop_limit_ = 0;
  // True while the pop side has not yet left the file that is not the write
  // file; the writer never makes that file anew before.
  bool pop_in_older_ = false;
  // Below this offset of the pop side's file the disk blocks are given back.
  uint64_t reclaimed_end_ = 0;
  std::string peeked_;

  std::atomic<uint64_t> total_bytes_{0};
  std::atomic<uint64_t> records_{0};  // counted with total_bytes_
  // Bytes each record file takes on disk.
  std::atomic<uint64_t> usage_[2] = {{0}, {0}};
  // End of the committed records in the write file, with the low byte of the
  // write file's serial in the top byte: one word, so a reader never takes the
  // end of one file for that of another.
  std::atomic<uint64_t> write_end_{0};
  // Set by a reader that found a file changed underneath; the next call of
  // either side starts over.
  std::atomic<bool> changed_{false};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> syncs_{0};

  // "interval": the flusher forces the write file to disk once something was
  // pushed. `dirty_` is set by the producer; the rest is guarded by sync_lock_.
  std::atomic<bool> dirty_{false};
  std::mutex sync_lock_;
  std::condition_variable sync_wake_;
  Clock::time_point dirty_since_;
  bool stop_flusher_ = false;

  std::mutex write_lock_;
  std::mutex read_lock_;
  std::thread flusher_;
};
