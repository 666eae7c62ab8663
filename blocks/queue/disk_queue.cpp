#include "blocks/queue/disk_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "blocks/queue/record_header.h"
#include "zeb/log.h"

namespace {

constexpr uint64_t kHeader = RecordHeader::kSize;
// Disk blocks are claimed ahead of the writer in steps of this size (never
// beyond the budget), so that few pushes need a system call.
constexpr uint64_t kAllocationStep = uint64_t{4} << 20;
// The size of the write file runs this far ahead of its claimed blocks, as a
// hole that costs no disk space. Then the kernel caches and maps the file in
// large pieces; a file that grows just ahead of the writer costs a page fault
// per page in each of the three mappings.
constexpr uint64_t kSizeAhead = uint64_t{32} << 20;
// A call of `peek` or `pop` moves at most once to the other file (the writer
// cannot leave the next file before the pop side has been in it); the extra
// steps are reading up to a file's end and reading on after the move.
constexpr int kReadSteps = 4;
// `write_end_`: the serial's low byte above the end offset. A reader is never
// more than one file behind the writer, so a byte tells the files apart.
constexpr int kSerialShift = 56;
constexpr uint64_t kEndMask = (uint64_t{1} << kSerialShift) - 1;

uint64_t serial_tag(uint64_t serial) {
  return serial & 0xff;
}

std::string with_slash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

bool exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

unsigned long long as_ull(uint64_t value) {
  return static_cast<unsigned long long>(value);
}

[[noreturn]] void fail(const char* text) {
  throw std::runtime_error(text);
}

constexpr const char* kDirectoryError = "Unable to open, or create directory";
constexpr const char* kFileError = "Could not open, or create file";
constexpr const char* kMarkerError = "Could not open, or create new file";

}  // namespace

DiskQueue::DiskQueue(const std::string& dir, uint64_t max_bytes, void* logger)
    : dir_(with_slash(dir)), logger_(logger), max_bytes_(max_bytes) {
  struct stat info;
  if (::stat(dir_.c_str(), &info) != 0 && ::mkdir(dir_.c_str(), 0775) != 0) fail(kDirectoryError);
  open_existing();
}

DiskQueue::~DiskQueue() {
  std::lock_guard<std::mutex> guard(write_lock_);
  // What lies beyond the last record, claimed or not, holds nothing.
  if (write_stream_.is_open()) write_stream_.truncate(write_offset_);
}

std::string DiskQueue::record_path(int index) const {
  return dir_ + std::to_string(index);
}

std::string DiskQueue::marker_path(int index) const {
  return record_path(index) + ".new";
}

bool DiskQueue::create_marker(int index) const {
  const qor::UniqueFd marker(
      ::open(marker_path(index).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  return marker.valid();
}

void DiskQueue::open_existing() {
  const bool file0 = exists(record_path(0));
  const bool file1 = exists(record_path(1));
  const bool marker0 = exists(marker_path(0));
  const bool marker1 = exists(marker_path(1));
  // With both markers (one could not be removed, or the process ended while
  // the writer changed files) file 1 counts as the newer; a file the writer
  // had only just begun holds no records, so the order of the two is kept.
  const int newer = marker1 || (!file0 && file1) ? 1 : 0;
  const int older = 1 - newer;
  bool newer_marked = newer == 1 ? marker1 : marker0;

  if (!write_stream_.open(record_path(newer), true)) {
    if (errno != ENOENT || !write_stream_.create(record_path(newer))) fail(kFileError);
    if (!create_marker(newer)) fail(kMarkerError);
    newer_marked = true;
  }
  write_index_ = newer;

  uint64_t size = 0;
  QueueCursor scan;
  if (!scan.open(record_path(newer), newer, 0, 0) || !scan.file_size(&size)) fail(kFileError);
  uint64_t committed = 0;
  QueueCursor::Stop stop = scan.scan(size, &committed);
  if (stop == QueueCursor::Stop::kFailed) fail(kFileError);
  if (stop == QueueCursor::Stop::kTorn) log_torn(scan, "opening the queue");
  write_offset_ = scan.offset();
  // What follows is a record an earlier run did not finish. Left in place, its
  // bytes would be read as headers behind the next, shorter record.
  if (size > write_offset_ && !write_stream_.truncate(write_offset_)) fail(kFileError);
  allocated_ = write_offset_;
  total_bytes_.store(committed, std::memory_order_relaxed);

  const bool older_exists = older == 1 ? file1 : file0;
  if (older == 1 ? marker1 : marker0) ::remove(marker_path(older).c_str());
  uint64_t older_end = 0;
  if (older_exists && (newer_marked || write_offset_ == 0)) {
    QueueCursor old_scan;
    uint64_t older_size = 0;
    if (!old_scan.open(record_path(older), older, 0, 0) || !old_scan.file_size(&older_size)) {
      fail(kFileError);
    }
    uint64_t older_committed = 0;
    stop = old_scan.scan(older_size, &older_committed);
    if (stop == QueueCursor::Stop::kFailed) fail(kFileError);
    if (stop == QueueCursor::Stop::kTorn) log_torn(old_scan, "opening the queue");
    older_end = old_scan.offset();
    total_bytes_.fetch_add(older_committed, std::memory_order_relaxed);
  } else if (older_exists) {
    zeb::log_warn(logger_, "Queue file %s is left unread: nothing marks it older than %s",
                  record_path(older).c_str(), record_path(newer).c_str());
  }

  // A file without a single record is passed over: a limit of 0 would mean
  // "the write file" to the readers.
  const int first = older_end > 0 ? older : newer;
  if (!peek_stream_.open(record_path(first), first, 0, 0) ||
      !pop_stream_.open(record_path(first), first, 0, 0)) {
    fail(kFileError);
  }
  pop_in_older_.store(first == older, std::memory_order_release);
  peek_limit_.store(older_end, std::memory_order_release);
  pop_limit_.store(older_end, std::memory_order_release);
  // The readers start with serial 0; one file ahead of them, the writer has 1.
  write_serial_ = first == older ? 1 : 0;
  publish_write_end();
}

void DiskQueue::publish_write_end() {
  write_end_.store(serial_tag(write_serial_) << kSerialShift | write_offset_,
                   std::memory_order_release);
}

void DiskQueue::log_torn(const QueueCursor& cursor, const char* context) {
  zeb::log_error(logger_,
                 "Queue file %s: the record at offset %llu claims more bytes than the file "
                 "holds (%s); it is taken as the end of the queued data",
                 record_path(cursor.index()).c_str(), as_ull(cursor.offset()), context);
}

uint64_t DiskQueue::read_bound(const QueueCursor& cursor, const std::atomic<uint64_t>& limit,
                               bool* left) const {
  const uint64_t end = write_end_.load(std::memory_order_acquire);
  *left = end >> kSerialShift != serial_tag(cursor.serial());
  // The writer set the limit before it moved on, so it is visible here.
  return *left ? limit.load(std::memory_order_acquire) : end & kEndMask;
}

bool DiskQueue::leave_file(QueueCursor& cursor, std::atomic<uint64_t>& limit, uint64_t seen_limit) {
  const int other = 1 - cursor.index();
  if (!cursor.open(record_path(other), other, cursor.serial() + 1, cursor.passed())) return false;
  // Cleared only if it is still the limit that was acted on.
  limit.compare_exchange_strong(seen_limit, 0, std::memory_order_acq_rel);
  return true;
}

void DiskQueue::catch_up_with_pop() {
  if (pop_passed_.load(std::memory_order_acquire) <= peek_stream_.passed()) return;
  // `pop` went past the record `peek` stands on (the normal case after a
  // delivery), or further, even into the next file: take over its place.
  std::lock_guard<std::mutex> guard(pop_lock_);
  if (pop_stream_.serial() != peek_stream_.serial()) {
    const int index = pop_stream_.index();
    if (!peek_stream_.open(record_path(index), index, pop_stream_.serial(), pop_stream_.passed())) {
      return;
    }
    uint64_t current = peek_limit_.load(std::memory_order_acquire);
    peek_limit_.compare_exchange_strong(current, pop_limit_.load(std::memory_order_acquire),
                                        std::memory_order_acq_rel);
  }
  peek_stream_.seek(pop_stream_.offset(), pop_stream_.passed());
}

QueueCursor::Stop DiskQueue::find_record(QueueCursor& cursor, std::atomic<uint64_t>& limit,
                                         uint64_t* length, bool removes_left_file) {
  QueueCursor::Stop stop = QueueCursor::Stop::kEnd;
  for (int step = 0; step < kReadSteps; ++step) {
    bool left = false;
    const uint64_t bound = read_bound(cursor, limit, &left);
    // Fewer than 16 bytes before the end of a file the writer has left: that
    // file is read through.
    const auto read_through = [&] {
      return left && (cursor.offset() > bound || bound - cursor.offset() < kHeader);
    };
    if (read_through()) {
      const int left_index = cursor.index();
      if (!leave_file(cursor, limit, bound)) return QueueCursor::Stop::kEnd;
      if (removes_left_file) {
        // Every record of the file left behind has been consumed.
        ::remove(record_path(left_index).c_str());
        pop_in_older_.store(false, std::memory_order_release);
      }
      continue;
    }
    stop = cursor.next(bound, length);
    if (stop == QueueCursor::Stop::kTorn && cursor.first_report_here()) {
      log_torn(cursor, removes_left_file ? "pop" : "peek");
    }
    if (stop != QueueCursor::Stop::kEnd || !read_through()) break;
  }
  return stop;
}

size_t DiskQueue::peek(char** out, bool* found) {
  *found = false;
  std::lock_guard<std::mutex> guard(peek_lock_);
  catch_up_with_pop();
  uint64_t length = 0;
  if (find_record(peek_stream_, peek_limit_, &length, false) != QueueCursor::Stop::kRecord) {
    return 0;
  }
  char* copy = static_cast<char*>(std::malloc(length > 0 ? length : 1));
  if (copy == nullptr) {
    zeb::log_error(logger_, "No memory for a queued record of %llu bytes", as_ull(length));
    return 0;
  }
  if (length > 0) std::memcpy(copy, peek_stream_.payload(), length);
  *out = copy;
  *found = true;
  return length;
}

size_t DiskQueue::pop() {
  std::lock_guard<std::mutex> guard(pop_lock_);
  size_t result = 0;
  uint64_t length = 0;
  if (find_record(pop_stream_, pop_limit_, &length, true) == QueueCursor::Stop::kRecord) {
    pop_stream_.consume(length);
    // Release: a writer that sees the smaller total and makes the file left
    // here anew comes after its removal.
    total_bytes_.fetch_sub(length + kHeader, std::memory_order_release);
    result = length + kHeader;
  }
  pop_passed_.store(pop_stream_.passed(), std::memory_order_release);
  return result;
}

size_t DiskQueue::push(const char* data, size_t length) {
  std::lock_guard<std::mutex> guard(write_lock_);
  // Compared as differences, so that no sum can wrap around.
  if (length > max_bytes_ || max_bytes_ - length < kHeader) return 0;
  const uint64_t record = length + kHeader;
  if (total_bytes_.load(std::memory_order_acquire) > max_bytes_ - record) return 0;
  if (write_offset_ > max_bytes_ - record && !switch_write_file()) return 0;
  if (write_offset_ + record > kEndMask || !reserve(write_offset_ + record)) return 0;

  char* at = write_stream_.data() + write_offset_;
  RecordHeader{RecordHeader::kUncommitted, length}.write(at);
  if (length > 0) std::memcpy(at + kHeader, data, length);
  // The payload is in place before the header says committed, for the readers
  // and for a process that ends right here.
  std::atomic_thread_fence(std::memory_order_release);
  RecordHeader::write_state(at, RecordHeader::kCommitted);
  write_offset_ += record;
  total_bytes_.fetch_add(record, std::memory_order_relaxed);
  publish_write_end();
  write_stream_.release_below(write_offset_);
  return record;
}

bool DiskQueue::reserve(uint64_t end) {
  if (end <= allocated_) return true;
  const uint64_t ahead = std::max(end, std::min(allocated_ + kAllocationStep, max_bytes_));
  uint64_t target = ahead;
  int error = write_stream_.allocate(allocated_, target);
  if (error != 0 && ahead > end) {
    target = end;
    error = write_stream_.allocate(allocated_, target);
  }
  if (error == 0 && !write_stream_.map(target)) error = errno;
  // Without the hole ahead the queue only runs slower. A small budget gets a
  // small hole: the file's size is what people look at.
  if (error == 0) write_stream_.truncate(target + std::min(kSizeAhead, max_bytes_));
  if (error != 0) {
    zeb::log_error(logger_, "Unable to extend queue file %s: %s", record_path(write_index_).c_str(),
                   std::strerror(error));
    return false;
  }
  allocated_ = target;
  return true;
}

bool DiskQueue::switch_write_file() {
  // Within the budget the pop side has always left the other file by now;
  // files of a damaged or tampered queue may say otherwise, and then the
  // record waits rather than replace unread ones.
  if (pop_in_older_.load(std::memory_order_acquire)) return false;
  const int next = 1 - write_index_;
  const std::string path = record_path(next);
  // The pop side has left this file and removed it; anything still there is
  // consumed. A new file rather than the old one emptied, so that the view of
  // a reader still holding the old one does not change under it.
  ::unlink(path.c_str());
  MappedFile fresh;
  if (!fresh.create(path)) {
    zeb::log_error(logger_, "%s %s: %s", kFileError, path.c_str(), std::strerror(errno));
    return false;
  }
  if (!create_marker(next)) {
    zeb::log_error(logger_, "%s %s: %s", kMarkerError, marker_path(next).c_str(),
                   std::strerror(errno));
    fresh.close();
    ::unlink(path.c_str());
    return false;
  }
  // Only now the old marker goes: at every moment some marker names a file
  // that holds everything written after the other one.
  if (::remove(marker_path(write_index_).c_str()) != 0 && errno != ENOENT) {
    zeb::log_warn(logger_, "Unable to remove %s: %s", marker_path(write_index_).c_str(),
                  std::strerror(errno));
  }
  write_stream_.truncate(write_offset_);

  // Readers may leave the old file only now that the new one exists; its end
  // is in place before the write end names the new file.
  pop_in_older_.store(true, std::memory_order_release);
  peek_limit_.store(write_offset_, std::memory_order_release);
  pop_limit_.store(write_offset_, std::memory_order_release);
  write_stream_ = std::move(fresh);
  write_index_ = next;
  write_offset_ = 0;
  allocated_ = 0;
  ++write_serial_;
  publish_write_end();
  return true;
}
