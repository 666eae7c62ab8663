#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "blocks/queue/mapped_file.h"
#include "blocks/queue/queue_cursor.h"

// A persistent first-in, first-out queue of byte strings in a directory, with
// a byte budget. Records are appended to record file "0" or "1" (the write
// file); when the next record would take the write file past the budget, the
// writer moves to the other file, which the readers have left and removed by
// then. A marker "<file>.new" names the file the queue created to write to, so
// a restarted queue knows which file is the newer one.
//
// A record is stored in three steps: header with state 0, payload, then the
// state set to 1. A process that ends in between leaves state 0, which readers
// treat as the end; the next start cuts the file there. Delivered records are
// marked 3 in place and never copied; a file goes away as a whole once read.
// Files are mapped into memory, so a stored record is in the kernel's page
// cache when `push` returns and survives the end of the process; nothing is
// forced to disk.
//
// Threads: exactly one producer thread calls `push`, exactly one consumer
// thread calls `peek` and `pop`; `size_bytes` may be called from any thread.
// Each of the three streams has its own lock, so a push never waits for a read.
class DiskQueue {
 public:
  // Opens the queue in `dir` (created with mode 0775 when missing), taking
  // over the records of an earlier run. `logger` receives the queue's own log
  // lines (may be null). Throws std::runtime_error "Unable to open, or create
  // directory", "Could not open, or create file" or "Could not open, or create
  // new file".
  DiskQueue(const std::string& dir, uint64_t max_bytes, void* logger = nullptr);
  ~DiskQueue();
  DiskQueue(const DiskQueue&) = delete;
  DiskQueue& operator=(const DiskQueue&) = delete;

  // Stores a copy of the bytes. Returns length + 16, or 0 when the record does
  // not fit the budget or cannot be written (nothing is stored then).
  size_t push(const char* data, size_t length);
  // The oldest committed, unconsumed record, left in place. Sets `*found`; when
  // true, `*out` is a copy of the payload from malloc (never null, even for an
  // empty payload) that the caller frees, and the result is the payload length.
  // When false the result is 0 and `*out` is untouched.
  size_t peek(char** out, bool* found);
  // Marks the oldest committed, unconsumed record consumed. Returns its length
  // + 16, or 0 when there is none.
  size_t pop();
  // Bytes of all committed, unconsumed records, headers included.
  uint64_t size_bytes() const { return total_bytes_.load(std::memory_order_relaxed); }

 private:
  std::string record_path(int index) const;
  std::string marker_path(int index) const;
  bool create_marker(int index) const;
  void open_existing();
  // Where the reader at `cursor` must stop; `*left` tells whether the writer
  // has left the reader's file, so that the bound is that file's end.
  uint64_t read_bound(const QueueCursor& cursor, const std::atomic<uint64_t>& limit,
                      bool* left) const;
  // Moves `cursor` on to the other record file once it has read all of its
  // own; false when it stays (the other file cannot be opened).
  bool leave_file(QueueCursor& cursor, std::atomic<uint64_t>& limit, uint64_t seen_limit);
  // Reads on from `cursor` to the next committed record, moving to the other
  // file where the writer has left the reader's one.
  QueueCursor::Stop find_record(QueueCursor& cursor, std::atomic<uint64_t>& limit, uint64_t* length,
                                bool removes_left_file);
  void publish_write_end();
  void catch_up_with_pop();
  bool switch_write_file();
  bool reserve(uint64_t end);
  void log_torn(const QueueCursor& cursor, const char* context);

  const std::string dir_;
  void* const logger_;

  // Guarded by peek_lock_.
  QueueCursor peek_stream_{false};
  // Guarded by write_lock_.
  MappedFile write_stream_;
  int write_index_ = 0;
  uint64_t write_offset_ = 0;
  uint64_t allocated_ = 0;
  // Counts the files the writer has been in, as the cursors' serials do.
  uint64_t write_serial_ = 0;
  // Guarded by pop_lock_.
  QueueCursor pop_stream_{true};

  const uint64_t max_bytes_;
  std::atomic<uint64_t> total_bytes_{0};
  // Set by the writer when it leaves a file, before `write_end_` moves on to
  // the next one: where the file left ends. Each reader clears its own once it
  // has moved on.
  std::atomic<uint64_t> peek_limit_{0};
  std::atomic<uint64_t> pop_limit_{0};
  // End of the committed records in the write file, with the low byte of the
  // write file's serial in the top byte: one word, so a reader never takes the
  // end of one file for that of another.
  std::atomic<uint64_t> write_end_{0};
  // Records the pop side has passed, so `peek` knows when `pop` went past it.
  std::atomic<uint64_t> pop_passed_{0};
  // True while the pop side has not yet left the file that is not the write
  // file; the writer never makes that file anew before.
  std::atomic<bool> pop_in_older_{false};

  std::mutex peek_lock_;
  std::mutex write_lock_;
  std::mutex pop_lock_;
};
