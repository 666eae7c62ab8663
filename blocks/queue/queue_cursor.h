#pragma once

#include <cstdint>
#include <string>

#include "blocks/queue/mapped_file.h"

// A reader's place in the queue: the record file it has open, which of the two
// files that is, how many files it has moved through since the queue was
// opened, the offset of the next header to read, and how many records it has
// passed. Both readers of a queue walk the same files in the same order, so
// equal `serial` means the same file and equal `passed` the same record.
//
// Not thread-safe: each cursor belongs to one stream and is guarded by that
// stream's lock.
class QueueCursor {
 public:
  enum class Stop {
    kRecord,  // a committed record at `offset()`, left in place
    kEnd,     // an uncommitted header, or fewer than 16 bytes before the bound
    kTorn,    // a header whose payload would run past the bound
    kFailed,  // the file could not be mapped
  };

  QueueCursor() = default;
  explicit QueueCursor(bool writable) : writable_(writable) {}

  // Opens record file `index` at `path`, positioned at offset 0. On failure the
  // cursor keeps its file and place.
  bool open(const std::string& path, int index, uint64_t serial, uint64_t passed);

  // Walks from the current offset toward `bound`, skipping consumed records,
  // and stops as `Stop` says. For kRecord, `length` is the payload length.
  Stop next(uint64_t bound, uint64_t* length);
  // Walks like `next` but passes committed records too, adding their size with
  // header to `*committed`; used to take stock of a file when the queue opens.
  Stop scan(uint64_t bound, uint64_t* committed);

  // Payload of the record `next` stopped at.
  const char* payload() const { return file_.data() + offset_ + 16; }
  // Marks the record `next` stopped at consumed and moves past it.
  void consume(uint64_t length);
  // Takes over another cursor's place in the same file.
  void seek(uint64_t offset, uint64_t passed);

  int index() const { return index_; }
  uint64_t serial() const { return serial_; }
  uint64_t offset() const { return offset_; }
  uint64_t passed() const { return passed_; }
  bool file_size(uint64_t* out) const { return file_.size(out); }
  // True the first time it is asked at this place, so a damaged record that
  // stops the reader is reported once, not on every call.
  bool first_report_here();

 private:
  // The header at the current offset, when at least 16 bytes remain before the
  // bound; kRecord for a header whose payload fits.
  Stop header(uint64_t bound, uint16_t* state, uint64_t* length);
  void skip(uint64_t length);

  bool writable_ = false;
  MappedFile file_;
  int index_ = 0;
  uint64_t serial_ = 0;
  uint64_t offset_ = 0;
  uint64_t passed_ = 0;
  uint64_t reported_serial_ = 0;
  uint64_t reported_offset_ = UINT64_MAX;
};
