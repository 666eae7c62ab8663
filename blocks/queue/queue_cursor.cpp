#include "blocks/queue/queue_cursor.h"

#include "blocks/queue/record_header.h"

namespace {

// Headers lie one record apart, mostly on a page of their own for the
// processor: asked for a little ahead, the memory is there when the scan
// reaches it.
constexpr uint64_t kScanAhead = 8192;

}  // namespace

bool QueueCursor::open(const std::string& path, int index, uint64_t serial, uint64_t passed) {
  MappedFile file;
  if (!file.open(path, writable_)) return false;
  file_ = std::move(file);
  index_ = index;
  serial_ = serial;
  offset_ = 0;
  passed_ = passed;
  return true;
}

QueueCursor::Stop QueueCursor::header(uint64_t bound, uint16_t* state, uint64_t* length) {
  if (offset_ > bound || bound - offset_ < RecordHeader::kSize) return Stop::kEnd;
  if (!file_.map(bound)) return Stop::kFailed;
  const RecordHeader found = RecordHeader::read(file_.data() + offset_);
  if (found.state == RecordHeader::kUncommitted) return Stop::kEnd;
  // Written as a difference: a damaged length must not wrap the sum around.
  if (found.length > bound - offset_ - RecordHeader::kSize) return Stop::kTorn;
  *state = found.state;
  *length = found.length;
  return Stop::kRecord;
}

void QueueCursor::skip(uint64_t length) {
  offset_ += RecordHeader::kSize + length;
  ++passed_;
  file_.release_below(offset_);
}

QueueCursor::Stop QueueCursor::next(uint64_t bound, uint64_t* length) {
  for (;;) {
    uint16_t state = 0;
    const Stop stop = header(bound, &state, length);
    if (stop != Stop::kRecord || state != RecordHeader::kConsumed) return stop;
    skip(*length);
  }
}

QueueCursor::Stop QueueCursor::scan(uint64_t bound, uint64_t* committed) {
  for (;;) {
    uint16_t state = 0;
    uint64_t length = 0;
    const Stop stop = header(bound, &state, &length);
    if (stop != Stop::kRecord) return stop;
    if (bound - offset_ > kScanAhead) __builtin_prefetch(file_.data() + offset_ + kScanAhead);
    if (state != RecordHeader::kConsumed) *committed += RecordHeader::kSize + length;
    skip(length);
  }
}

void QueueCursor::consume(uint64_t length) {
  RecordHeader::write_state(file_.data() + offset_, RecordHeader::kConsumed);
  skip(length);
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
