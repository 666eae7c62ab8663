#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "blocks/queue/queue_file.h"
#include "blocks/queue/record_header.h"

// A reader's place in the queue: the record file it has open, which of the two
// files that is, how many files it has moved through since the queue was
// opened, the offset of the next header to read, and how many records it has
// passed. Both readers of a queue walk the same files in the same order, so
// equal `serial` means the same file and equal `passed` the same record.
//
// Reads go through a buffer of its own. Bytes of committed records never
// change except their state (set to consumed by the pop side, which is never
// behind the other reader), so buffered bytes stay valid.
//
// Not thread-safe: each cursor belongs to one reader.
class QueueCursor {
 public:
  enum class Stop {
    kRecord,   // a committed record at `offset()`, left in place
    kEnd,      // an uncommitted header, or fewer than 16 bytes before the bound
    kTorn,     // a payload that runs past the bound or does not match its checksum
    kChanged,  // the file holds less, or other bytes, than committed records
    kFailed,   // the file could not be read or written
  };

  QueueCursor() = default;
  explicit QueueCursor(bool writable) : writable_(writable) {}

  // Opens record file `index` at `path`, positioned at offset 0. On failure the
  // cursor keeps its file and place.
  bool open(const std::string& path, int index, uint64_t serial, uint64_t passed);
  // Takes over another cursor's file (a descriptor of its own) and place.
  bool take_place_of(const QueueCursor& other);
  void close();
  bool is_open() const { return file_.is_open(); }

  // Walks from the current offset toward `bound`, skipping consumed records,
  // and stops as `Stop` says. `committed` tells that everything before the
  // bound was committed: an uncommitted header there means the file changed.
  // For kRecord, `length` is the payload length.
  Stop next(uint64_t bound, bool committed, uint64_t* length);
  // Walks like `next` but passes committed records too, checking their
  // checksums and adding their size with header to `*committed` and one per
  // record to `*records`; used to take stock of a file when the queue opens.
  Stop scan(uint64_t bound, uint64_t* committed, uint64_t* records);

  // Copies the payload of the record `next` stopped at into `out` (reusing its
  // capacity) and checks it: kRecord, kTorn, kChanged or kFailed.
  Stop read_payload(uint64_t length, uint64_t bound, std::string& out);
  // Marks the record `next` stopped at consumed and moves past it; 0 or the
  // error number.
  int consume(uint64_t length);
  // Moves past the record `next` stopped at.
  void skip(uint64_t length);
  // Takes over another cursor's place in the same file.
  void seek(uint64_t offset, uint64_t passed);

  int index() const { return index_; }
  uint64_t serial() const { return serial_; }
  uint64_t offset() const { return offset_; }
  uint64_t passed() const { return passed_; }
  const QueueFile& file() const { return file_; }
  // True the first time it is asked at this place, so a damaged record that
  // stops the reader is reported once, not on every call.
  bool first_report_here();

 private:
  // The header at the current offset, when at least 16 bytes remain before the
  // bound; kRecord for a header whose payload fits.
  Stop header(uint64_t bound, bool committed, RecordHeader* found);
  // [at, at + size) from the buffer, read ahead up to `bound` when it is not
  // there; null with `*stop` set when the file holds less or cannot be read.
  const char* fetch(uint64_t at, uint64_t size, uint64_t bound, Stop* stop);
  // Checks the payload of `found` against its checksum, reading it piecewise.
  Stop check_payload(const RecordHeader& found, uint64_t bound);

  bool writable_ = false;
  QueueFile file_;
  int index_ = 0;
  uint64_t serial_ = 0;
  uint64_t offset_ = 0;
  uint64_t passed_ = 0;
  uint64_t reported_serial_ = 0;
  uint64_t reported_offset_ = UINT64_MAX;
  RecordHeader current_;
  std::unique_ptr<char[]> buffer_;
  uint64_t buffer_start_ = 0;
  uint64_t buffer_size_ = 0;
};
