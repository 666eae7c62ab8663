#include "blocks/queue/queue_cursor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "blocks/queue/crc32c.h"

namespace {

// One read brings this much of a file into the buffer: headers of small
// records then cost no system call of their own.
constexpr uint64_t kBufferBytes = uint64_t{64} << 10;

}  // namespace

bool QueueCursor::open(const std::string& path, int index, uint64_t serial, uint64_t passed) {
  QueueFile file;
  if (!file.open(path, writable_)) return false;
  file_ = std::move(file);
  index_ = index;
  serial_ = serial;
  offset_ = 0;
  passed_ = passed;
  buffer_size_ = 0;
  return true;
}

bool QueueCursor::take_place_of(const QueueCursor& other) {
  QueueFile file;
  if (!file.duplicate(other.file_)) return false;
  file_ = std::move(file);
  index_ = other.index_;
  serial_ = other.serial_;
  offset_ = other.offset_;
  passed_ = other.passed_;
  buffer_size_ = 0;
  return true;
}

void QueueCursor::close() {
  file_.close();
  buffer_size_ = 0;
}

const char* QueueCursor::fetch(uint64_t at, uint64_t size, uint64_t bound, Stop* stop) {
  if (at >= buffer_start_ && at - buffer_start_ <= buffer_size_ &&
      buffer_size_ - (at - buffer_start_) >= size) {
    return buffer_.get() + (at - buffer_start_);
  }
  if (size > kBufferBytes) {
    *stop = Stop::kFailed;
    return nullptr;
  }
  if (!buffer_) buffer_.reset(new char[kBufferBytes]);
  buffer_size_ = 0;
  const uint64_t want = std::min(kBufferBytes, bound - at);
  const int64_t got = file_.read_at(at, buffer_.get(), static_cast<size_t>(want));
  if (got < 0) {
    *stop = Stop::kFailed;
    return nullptr;
  }
  buffer_start_ = at;
  buffer_size_ = static_cast<uint64_t>(got);
  if (buffer_size_ < size) {
    *stop = Stop::kChanged;
    return nullptr;
  }
  return buffer_.get();
}

QueueCursor::Stop QueueCursor::header(uint64_t bound, bool committed, RecordHeader* found) {
  if (offset_ > bound || bound - offset_ < RecordHeader::kSize) return Stop::kEnd;
  Stop stop = Stop::kRecord;
  const char* bytes = fetch(offset_, RecordHeader::kSize, bound, &stop);
  if (bytes == nullptr) return stop == Stop::kChanged && !committed ? Stop::kEnd : stop;
  *found = RecordHeader::read(bytes);
  if (found->state == RecordHeader::kUncommitted) return committed ? Stop::kChanged : Stop::kEnd;
  // Written as a difference: a damaged length must not wrap the sum around.
  if (found->length > bound - offset_ - RecordHeader::kSize) return Stop::kTorn;
  return Stop::kRecord;
}

void QueueCursor::skip(uint64_t length) {
  offset_ += RecordHeader::kSize + length;
  ++passed_;
}

QueueCursor::Stop QueueCursor::next(uint64_t bound, bool committed, uint64_t* length) {
  for (;;) {
    const Stop stop = header(bound, committed, &current_);
    if (stop != Stop::kRecord) return stop;
    if (current_.state != RecordHeader::kConsumed) {
      *length = current_.length;
      return stop;
    }
    skip(current_.length);
  }
}

QueueCursor::Stop QueueCursor::check_payload(const RecordHeader& found, uint64_t bound) {
  if (!found.has_checksum) return Stop::kRecord;
  uint32_t crc = 0;
  uint64_t at = offset_ + RecordHeader::kSize;
  for (uint64_t left = found.length; left > 0;) {
    const uint64_t piece = std::min(left, kBufferBytes);
    Stop stop = Stop::kRecord;
    const char* bytes = fetch(at, piece, bound, &stop);
    if (bytes == nullptr) return stop;
    crc = crc32c(bytes, static_cast<size_t>(piece), crc);
    at += piece;
    left -= piece;
  }
  return crc == found.checksum ? Stop::kRecord : Stop::kTorn;
}

QueueCursor::Stop QueueCursor::scan(uint64_t bound, uint64_t* committed, uint64_t* records) {
  for (;;) {
    RecordHeader found;
    Stop stop = header(bound, false, &found);
    if (stop != Stop::kRecord) return stop;
    if (found.state != RecordHeader::kConsumed) {
      stop = check_payload(found, bound);
      if (stop == Stop::kChanged) return Stop::kEnd;
      if (stop != Stop::kRecord) return stop;
      *committed += RecordHeader::kSize + found.length;
      ++*records;
    }
    skip(found.length);
  }
}

QueueCursor::Stop QueueCursor::read_payload(uint64_t length, uint64_t bound, std::string& out) {
  const uint64_t at = offset_ + RecordHeader::kSize;
  Stop stop = Stop::kRecord;
  if (length <= kBufferBytes) {
    const char* bytes = fetch(at, length, bound, &stop);
    if (bytes == nullptr) return stop;
    out.assign(bytes, static_cast<size_t>(length));
  } else {
    // `length` fits before the bound, which lies within what was committed.
    out.resize(static_cast<size_t>(length));
    const int64_t got = file_.read_at(at, &out[0], out.size());
    if (got < 0) return Stop::kFailed;
    if (static_cast<uint64_t>(got) < length) return Stop::kChanged;
  }
  if (current_.has_checksum && crc32c(out.data(), out.size()) != current_.checksum) {
    return Stop::kTorn;
  }
  return Stop::kRecord;
}

int QueueCursor::consume(uint64_t length) {
  char state[2];
  RecordHeader::write_state(state, RecordHeader::kConsumed);
  const int error = file_.write_at(offset_, state, sizeof state);
  if (error == 0) skip(length);
  return error;
}

void QueueCursor::seek(uint64_t offset, uint64_t passed) {
  offset_ = offset;
  passed_ = passed;
}

bool QueueCursor::first_report_here() {
  if (reported_serial_ == serial_ && reported_offset_ == offset_) return false;
  reported_serial_ = serial_;
  reported_offset_ = offset_;
  return true;
}
