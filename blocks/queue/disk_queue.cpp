#include "blocks/queue/disk_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "blocks/queue/crc32c.h"
#include "blocks/queue/record_header.h"
#include "framework/unique_fd.h"
#include "zeb/log.h"

namespace {

constexpr uint64_t kHeader = RecordHeader::kSize;
// Disk space is given back in whole pages; the first page, which holds the
// header that spans what was given back, is never.
constexpr uint64_t kPage = 4096;
// A call of `peek`, `next` or `pop` moves at most once to the other file (the
// writer cannot leave the next file before the pop side has been in it); the
// extra steps are reading up to a file's end and reading on after the move.
constexpr int kReadSteps = 4;
// `write_end_`: the serial's low byte above the end offset. A reader is never
// more than one file behind the writer, so a byte tells the files apart.
constexpr int kSerialShift = 56;
constexpr uint64_t kEndMask = (uint64_t{1} << kSerialShift) - 1;
// How often the producer looks whether its file is still the one in the
// directory, and the longest a failure to write goes unreported.
constexpr auto kCheckEvery = std::chrono::milliseconds(250);
constexpr auto kReportEvery = std::chrono::seconds(5);

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

uint64_t blocks_taken(const struct stat& info) {
  return static_cast<uint64_t>(info.st_blocks) * 512;
}

// What the budget counts for a file: its blocks, but no more than its size,
// so that a small queue is not charged a whole block for a few records.
uint64_t counted(const struct stat& info) {
  return std::min(blocks_taken(info), static_cast<uint64_t>(info.st_size));
}

uint64_t step_for(uint64_t budget, uint64_t share) {
  return std::max(uint64_t{64} << 10, std::min(uint64_t{4} << 20, budget / share)) / kPage * kPage;
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

bool DiskQueue::parse_sync(const std::string& text, Sync* out) {
  if (text == "none") {
    *out = Sync::kNone;
  } else if (text == "interval") {
    *out = Sync::kInterval;
  } else if (text == "always") {
    *out = Sync::kAlways;
  } else {
    return false;
  }
  return true;
}

DiskQueue::DiskQueue(const std::string& dir, uint64_t max_bytes, void* logger)
    : DiskQueue(dir, Options{max_bytes, Sync::kNone, 1000}, logger) {}

DiskQueue::DiskQueue(const std::string& dir, const Options& options, void* logger)
    : dir_(with_slash(dir)),
      logger_(logger),
      options_(options),
      max_bytes_(options.max_bytes),
      claim_step_(step_for(options.max_bytes, 16)),
      reclaim_step_(step_for(options.max_bytes, 32)) {
  struct stat info;
  if (::stat(dir_.c_str(), &info) != 0 && ::mkdir(dir_.c_str(), 0775) != 0) fail(kDirectoryError);
  open_existing();
  usable_ = true;
  last_check_ = Clock::now();
  if (options_.sync == Sync::kInterval) flusher_ = std::thread(&DiskQueue::flush_loop, this);
}

DiskQueue::~DiskQueue() {
  if (flusher_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(sync_lock_);
      stop_flusher_ = true;
    }
    sync_wake_.notify_all();
    flusher_.join();
  }
  std::lock_guard<std::mutex> guard(write_lock_);
  // What lies beyond the last record, claimed or not, holds nothing.
  if (usable_ && write_stream_.is_open()) write_stream_.truncate(write_offset_);
}

uint64_t DiskQueue::bytes_on_disk(const std::string& dir) {
  const std::string base = with_slash(dir);
  uint64_t total = 0;
  for (const char* name : {"0", "1"}) {
    struct stat info;
    if (::stat((base + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      total += blocks_taken(info);
    }
  }
  return total;
}

uint64_t DiskQueue::disk_bytes() const {
  return usage_[0].load(std::memory_order_relaxed) + usage_[1].load(std::memory_order_relaxed);
}

void DiskQueue::add_usage(int index, uint64_t bytes) {
  usage_[index].fetch_add(bytes, std::memory_order_relaxed);
}

void DiskQueue::release_usage(int index, uint64_t bytes) {
  uint64_t now = usage_[index].load(std::memory_order_relaxed);
  while (!usage_[index].compare_exchange_weak(now, now - std::min(now, bytes),
                                              std::memory_order_relaxed)) {
  }
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

void DiskQueue::sync_directory() const {
  if (options_.sync == Sync::kNone) return;
  const qor::UniqueFd directory(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.valid()) ::fsync(directory.get());
}

void DiskQueue::close_all() {
  write_stream_.close();
  read_stream_.close();
  pop_stream_.close();
  total_bytes_.store(0, std::memory_order_relaxed);
  records_.store(0, std::memory_order_relaxed);
  usage_[0].store(0, std::memory_order_relaxed);
  usage_[1].store(0, std::memory_order_relaxed);
  read_limit_ = pop_limit_ = 0;
  pop_in_older_ = false;
  reclaimed_end_ = 0;
  write_offset_ = allocated_ = 0;
}

void DiskQueue::open_existing() {
  close_all();
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
    sync_directory();
  }
  write_index_ = newer;

  struct stat info;
  QueueCursor scan;
  if (!scan.open(record_path(newer), newer, 0, 0) || !write_stream_.stat(&info)) fail(kFileError);
  const auto size = static_cast<uint64_t>(info.st_size);
  uint64_t committed = 0;
  uint64_t records = 0;
  QueueCursor::Stop stop = scan.scan(size, &committed, &records);
  if (stop == QueueCursor::Stop::kFailed) fail(kFileError);
  if (stop == QueueCursor::Stop::kTorn) report_damage(scan, stop, "opening the queue");
  write_offset_ = scan.offset();
  // What follows is a record an earlier run did not finish. Left in place, its
  // bytes would be read as headers behind the next, shorter record.
  if (size > write_offset_ && write_stream_.truncate(write_offset_) != 0) fail(kFileError);
  allocated_ = write_offset_;
  if (write_stream_.stat(&info)) usage_[newer].store(counted(info));
  total_bytes_.store(committed, std::memory_order_relaxed);
  records_.store(records, std::memory_order_relaxed);

  const bool older_exists = older == 1 ? file1 : file0;
  if (older == 1 ? marker1 : marker0) ::remove(marker_path(older).c_str());
  uint64_t older_end = 0;
  if (older_exists && (newer_marked || write_offset_ == 0)) {
    QueueCursor old_scan;
    if (!old_scan.open(record_path(older), older, 0, 0) || !old_scan.file().stat(&info)) {
      fail(kFileError);
    }
    usage_[older].store(counted(info));
    uint64_t older_committed = 0;
    uint64_t older_records = 0;
    stop = old_scan.scan(static_cast<uint64_t>(info.st_size), &older_committed, &older_records);
    if (stop == QueueCursor::Stop::kFailed) fail(kFileError);
    if (stop == QueueCursor::Stop::kTorn) report_damage(old_scan, stop, "opening the queue");
    older_end = old_scan.offset();
    total_bytes_.fetch_add(older_committed, std::memory_order_relaxed);
    records_.fetch_add(older_records, std::memory_order_relaxed);
  } else if (older_exists) {
    zeb::log_warn(logger_, "Queue file %s is left unread: nothing marks it older than %s",
                  record_path(older).c_str(), record_path(newer).c_str());
  }

  // A file without a single record is passed over: a limit of 0 would mean
  // "the write file" to the readers.
  const int first = older_end > 0 ? older : newer;
  if (!pop_stream_.open(record_path(first), first, 0, 0) ||
      !read_stream_.take_place_of(pop_stream_)) {
    fail(kFileError);
  }
  pop_in_older_ = first == older;
  read_limit_ = pop_limit_ = older_end;
  // The header at offset 0 may span what an earlier run gave back.
  char bytes[kHeader];
  if (pop_stream_.file().read_at(0, bytes, kHeader) == static_cast<int64_t>(kHeader)) {
    const RecordHeader head = RecordHeader::read(bytes);
    if (head.state == RecordHeader::kConsumed && head.length < kEndMask) {
      reclaimed_end_ = (head.length + kHeader) / kPage * kPage;
    }
  }
  // The readers start with serial 0; one file ahead of them, the writer has 1.
  write_serial_ = first == older ? 1 : 0;
  publish_write_end();
}

void DiskQueue::reopen() {
  std::lock_guard<std::mutex> guard(read_lock_);
  changed_.store(false, std::memory_order_relaxed);
  try {
    struct stat info;
    if (::stat(dir_.c_str(), &info) != 0 && ::mkdir(dir_.c_str(), 0775) != 0) {
      fail(kDirectoryError);
    }
    open_existing();
    usable_ = true;
    zeb::log_warn(logger_,
                  "Queue files in %s changed while the queue was running; going on with the "
                  "%llu bytes of records they hold",
                  dir_.c_str(), as_ull(size_bytes()));
  } catch (const std::runtime_error& e) {
    if (usable_) zeb::log_error(logger_, "Queue in %s cannot be used: %s", dir_.c_str(), e.what());
    close_all();
    usable_ = false;
  }
}

bool DiskQueue::write_file_changed() const {
  struct stat open_file;
  struct stat named;
  if (!write_stream_.stat(&open_file) || open_file.st_nlink == 0) return true;
  if (::stat(record_path(write_index_).c_str(), &named) != 0) return true;
  if (named.st_ino != open_file.st_ino || named.st_dev != open_file.st_dev) return true;
  return static_cast<uint64_t>(open_file.st_size) < write_offset_;
}

void DiskQueue::reopen_if_changed() {
  if (!changed_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> guard(write_lock_);
  if (changed_.load(std::memory_order_acquire)) reopen();
}

void DiskQueue::report_damage(const QueueCursor& cursor, QueueCursor::Stop stop,
                              const char* context) {
  const char* what = "cannot be read";
  if (stop == QueueCursor::Stop::kTorn) {
    what = "is torn (its length or checksum does not match what the file holds)";
  } else if (stop == QueueCursor::Stop::kChanged) {
    what = "is gone: the file was cut short or overwritten while the queue was running";
  }
  zeb::log_error(logger_, "Queue file %s: the record at offset %llu %s (%s); %s",
                 record_path(cursor.index()).c_str(), as_ull(cursor.offset()), what, context,
                 stop == QueueCursor::Stop::kTorn && std::strcmp(context, "opening the queue") == 0
                     ? "it is taken as the end of the queued data"
                     : "the queue starts over from what its files hold");
}

void DiskQueue::publish_write_end() {
  write_end_.store(serial_tag(write_serial_) << kSerialShift | write_offset_,
                   std::memory_order_release);
}

uint64_t DiskQueue::read_bound(const QueueCursor& cursor, uint64_t limit, bool* left) const {
  const uint64_t end = write_end_.load(std::memory_order_acquire);
  *left = end >> kSerialShift != serial_tag(cursor.serial());
  // The writer set the limit under read_lock_ before it moved on.
  return *left ? limit : end & kEndMask;
}

bool DiskQueue::leave_file(QueueCursor& cursor, uint64_t& limit, bool pops) {
  const int left_index = cursor.index();
  const int other = 1 - left_index;
  if (!cursor.open(record_path(other), other, cursor.serial() + 1, cursor.passed())) return false;
  limit = 0;
  if (pops) {
    // Every record of the file left behind has been consumed.
    ::remove(record_path(left_index).c_str());
    sync_directory();
    usage_[left_index].store(0, std::memory_order_relaxed);
    pop_in_older_ = false;
    reclaimed_end_ = 0;
  }
  return true;
}

QueueCursor::Stop DiskQueue::find_record(QueueCursor& cursor, uint64_t& limit, uint64_t* length,
                                         uint64_t* bound, bool pops) {
  QueueCursor::Stop stop = QueueCursor::Stop::kEnd;
  for (int step = 0; step < kReadSteps; ++step) {
    bool left = false;
    *bound = read_bound(cursor, limit, &left);
    // Fewer than 16 bytes before the end of a file the writer has left: that
    // file is read through.
    const auto read_through = [&] {
      return left && (cursor.offset() > *bound || *bound - cursor.offset() < kHeader);
    };
    if (read_through()) {
      if (!leave_file(cursor, limit, pops)) {
        // The writer's file is gone from the directory.
        zeb::log_error(logger_, "Queue file %s is missing: %s",
                       record_path(1 - cursor.index()).c_str(), std::strerror(errno));
        changed_.store(true, std::memory_order_release);
        return QueueCursor::Stop::kChanged;
      }
      continue;
    }
    stop = cursor.next(*bound, true, length);
    if (stop != QueueCursor::Stop::kRecord && stop != QueueCursor::Stop::kEnd) {
      if (cursor.first_report_here()) report_damage(cursor, stop, pops ? "pop" : "read");
      changed_.store(true, std::memory_order_release);
      return stop;
    }
    if (stop != QueueCursor::Stop::kEnd || !read_through()) break;
  }
  return stop;
}

bool DiskQueue::read_record(std::string& out, bool advance) {
  reopen_if_changed();
  std::lock_guard<std::mutex> guard(read_lock_);
  if (!read_stream_.is_open()) return false;
  uint64_t length = 0;
  uint64_t bound = 0;
  const QueueCursor::Stop found = find_record(read_stream_, read_limit_, &length, &bound, false);
  if (found != QueueCursor::Stop::kRecord || read_stream_.serial() != pop_stream_.serial()) {
    settle_pop_side();
  }
  if (found != QueueCursor::Stop::kRecord) return false;
  const QueueCursor::Stop stop = read_stream_.read_payload(length, bound, out);
  if (stop != QueueCursor::Stop::kRecord) {
    if (read_stream_.first_report_here()) report_damage(read_stream_, stop, "read");
    changed_.store(true, std::memory_order_release);
    return false;
  }
  if (advance) read_stream_.skip(length);
  return true;
}

size_t DiskQueue::peek(char** out, bool* found) {
  *found = false;
  if (!read_record(peeked_, false)) return 0;
  char* copy = static_cast<char*>(std::malloc(peeked_.empty() ? 1 : peeked_.size()));
  if (copy == nullptr) {
    zeb::log_error(logger_, "No memory for a queued record of %zu bytes", peeked_.size());
    return 0;
  }
  if (!peeked_.empty()) std::memcpy(copy, peeked_.data(), peeked_.size());
  *out = copy;
  *found = true;
  return peeked_.size();
}

bool DiskQueue::next(std::string& out) {
  return read_record(out, true);
}

void DiskQueue::rewind() {
  reopen_if_changed();
  std::lock_guard<std::mutex> guard(read_lock_);
  if (pop_stream_.is_open()) read_from_pop_place();
}

void DiskQueue::catch_up_with_pop() {
  // `pop` went past the read position (the normal case after `peek` and
  // `pop`), or further, even into the next file: take over its place.
  if (pop_stream_.passed() > read_stream_.passed()) read_from_pop_place();
}

void DiskQueue::read_from_pop_place() {
  if (read_stream_.serial() == pop_stream_.serial()) {
    read_stream_.seek(pop_stream_.offset(), pop_stream_.passed());
  } else if (!read_stream_.take_place_of(pop_stream_)) {
    changed_.store(true, std::memory_order_release);
    return;
  }
  read_limit_ = pop_limit_;
}

size_t DiskQueue::pop() {
  reopen_if_changed();
  std::lock_guard<std::mutex> guard(read_lock_);
  if (!pop_stream_.is_open()) return 0;
  size_t result = 0;
  uint64_t length = 0;
  uint64_t bound = 0;
  if (find_record(pop_stream_, pop_limit_, &length, &bound, true) == QueueCursor::Stop::kRecord) {
    const int error = pop_stream_.consume(length);
    if (error == 0) {
      total_bytes_.fetch_sub(length + kHeader, std::memory_order_relaxed);
      records_.fetch_sub(1, std::memory_order_relaxed);
      result = length + kHeader;
      reclaim();
    } else {
      zeb::log_error(logger_,
                     "Queue file %s: unable to mark the record at offset %llu consumed: %s",
                     record_path(pop_stream_.index()).c_str(), as_ull(pop_stream_.offset()),
                     std::strerror(error));
    }
  }
  catch_up_with_pop();
  return result;
}

void DiskQueue::settle_pop_side() {
  uint64_t length = 0;
  uint64_t bound = 0;
  find_record(pop_stream_, pop_limit_, &length, &bound, true);
  reclaim();
}

void DiskQueue::reclaim() {
  const uint64_t from = std::max(kPage, reclaimed_end_);
  const uint64_t to = pop_stream_.offset() / kPage * kPage;
  if (to < from || to - from < reclaim_step_) return;
  // The header at offset 0 first spans everything consumed, and reaches the
  // disk, before the blocks under it go: at no moment does a reader find
  // zeros where it expects a header.
  RecordHeader span;
  span.state = RecordHeader::kConsumed;
  span.length = pop_stream_.offset() - kHeader;
  char bytes[kHeader];
  span.write(bytes);
  const QueueFile& file = pop_stream_.file();
  int error = file.write_at(0, bytes, kHeader);
  if (error == 0) error = options_.sync == Sync::kNone ? file.sync_page(0) : file.sync_data();
  if (error == 0) error = file.punch(from, to);
  if (error != 0) {
    zeb::log_warn(logger_, "Queue file %s: unable to give back consumed space: %s",
                  record_path(pop_stream_.index()).c_str(), std::strerror(error));
    // Tried again only after as much again has been consumed.
    reclaimed_end_ = to;
    return;
  }
  release_usage(pop_stream_.index(), to - from);
  reclaimed_end_ = to;
}

size_t DiskQueue::push(const char* data, size_t length) {
  std::lock_guard<std::mutex> guard(write_lock_);
  const size_t stored = store(data, length);
  if (stored == 0) dropped_.fetch_add(1, std::memory_order_relaxed);
  return stored;
}

size_t DiskQueue::store(const char* data, size_t length) {
  const Clock::time_point now = Clock::now();
  if (now - last_check_ >= kCheckEvery) {
    last_check_ = now;
    if (!usable_ || write_file_changed()) changed_.store(true, std::memory_order_relaxed);
  }
  if (changed_.load(std::memory_order_acquire)) reopen();
  if (!usable_) return 0;
  // Compared as differences, so that no sum can wrap around.
  if (length > max_bytes_ || max_bytes_ - length < kHeader) return 0;
  const uint64_t record = length + kHeader;
  if (total_bytes_.load(std::memory_order_acquire) > max_bytes_ - record) return 0;
  if (write_offset_ > max_bytes_ - record && !switch_write_file(record)) return 0;
  if (write_offset_ + record > kEndMask || !reserve(write_offset_ + record)) return 0;

  RecordHeader header;
  header.has_checksum = true;
  header.checksum = crc32c(data, length);
  header.length = length;
  char head[kHeader];
  header.write(head);
  const struct iovec parts[2] = {{head, kHeader}, {const_cast<char*>(data), length}};
  int error = write_stream_.write_at(write_offset_, parts, length > 0 ? 2 : 1);
  // The payload is in the file before the header says committed, for a
  // process that ends right here.
  if (error == 0) {
    char state[2];
    RecordHeader::write_state(state, RecordHeader::kCommitted);
    error = write_stream_.write_at(write_offset_, state, sizeof state);
  }
  if (error != 0) {
    // Whatever part of the record got in lies beyond the committed end; the
    // file gives back what it grew by.
    write_stream_.truncate(allocated_);
    note_write_failure(error);
    return 0;
  }
  write_offset_ += record;
  if (write_offset_ > allocated_) {
    add_usage(write_index_, write_offset_ - allocated_);
    allocated_ = write_offset_;
  }
  total_bytes_.fetch_add(record, std::memory_order_relaxed);
  records_.fetch_add(1, std::memory_order_relaxed);
  publish_write_end();
  after_push();
  return record;
}

void DiskQueue::after_push() {
  if (options_.sync == Sync::kAlways) {
    const int error = write_stream_.sync_data();
    syncs_.fetch_add(1, std::memory_order_relaxed);
    if (error != 0) note_write_failure(error);
  } else if (options_.sync == Sync::kInterval &&
             !dirty_.exchange(true, std::memory_order_acq_rel)) {
    {
      std::lock_guard<std::mutex> guard(sync_lock_);
      dirty_since_ = Clock::now();
    }
    sync_wake_.notify_one();
  }
}

void DiskQueue::note_write_failure(int error) {
  ++failures_unreported_;
  const Clock::time_point now = Clock::now();
  if (last_failure_report_ != Clock::time_point{} && now - last_failure_report_ < kReportEvery) {
    return;
  }
  zeb::log_error(logger_,
                 "Queue file %s: unable to store a record: %s; %llu record(s) dropped since the "
                 "last report, %llu since the queue was opened",
                 record_path(write_index_).c_str(), std::strerror(error),
                 as_ull(failures_unreported_), as_ull(dropped() + 1));
  failures_unreported_ = 0;
  last_failure_report_ = now;
}

bool DiskQueue::reserve(uint64_t end) {
  if (end <= allocated_) return true;
  uint64_t used = disk_bytes();
  if (used > max_bytes_ || end - allocated_ > max_bytes_ - used) {
    std::lock_guard<std::mutex> guard(read_lock_);
    settle_pop_side();
    used = disk_bytes();
  }
  const uint64_t room = used < max_bytes_ ? max_bytes_ - used : 0;
  if (end - allocated_ > room) return false;
  if (!claims_ahead_) return true;
  uint64_t target =
      std::max(end, std::min({allocated_ + claim_step_, allocated_ + room, max_bytes_}));
  int error = write_stream_.allocate(allocated_, target);
  if (error != 0 && error != EOPNOTSUPP && target > end) {
    target = end;
    error = write_stream_.allocate(allocated_, target);
  }
  if (error == EOPNOTSUPP) {
    // The writes themselves then take the space, and may fail for want of it.
    claims_ahead_ = false;
    return true;
  }
  if (error != 0) {
    note_write_failure(error);
    return false;
  }
  add_usage(write_index_, target - allocated_);
  allocated_ = target;
  return true;
}

bool DiskQueue::switch_write_file(uint64_t record) {
  std::lock_guard<std::mutex> guard(read_lock_);
  settle_pop_side();
  // Within the budget the pop side has always left the other file by now;
  // files of a damaged or tampered queue may say otherwise, and then the
  // record waits rather than replace unread ones.
  if (pop_in_older_) return false;
  // Everything in the write file consumed: it goes at once, and the readers
  // move with the writer.
  const bool drained =
      pop_stream_.serial() == write_serial_ && pop_stream_.offset() >= write_offset_;
  const uint64_t claimed = allocated_ - write_offset_;
  const uint64_t kept =
      drained ? 0
              : usage_[write_index_].load(std::memory_order_relaxed) -
                    std::min(usage_[write_index_].load(std::memory_order_relaxed), claimed);
  if (kept > max_bytes_ || record > max_bytes_ - kept) return false;

  const int next = 1 - write_index_;
  const std::string path = record_path(next);
  // The pop side has left this file and removed it; anything still there is
  // consumed. A new file rather than the old one emptied, so that the view of
  // a reader still holding the old one does not change under it.
  ::unlink(path.c_str());
  usage_[next].store(0, std::memory_order_relaxed);
  QueueFile fresh;
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
  sync_directory();
  // Only now the old marker goes: at every moment some marker names a file
  // that holds everything written after the other one.
  if (::remove(marker_path(write_index_).c_str()) != 0 && errno != ENOENT) {
    zeb::log_warn(logger_, "Unable to remove %s: %s", marker_path(write_index_).c_str(),
                  std::strerror(errno));
  }
  if (drained) {
    ::unlink(record_path(write_index_).c_str());
    usage_[write_index_].store(0, std::memory_order_relaxed);
  } else {
    write_stream_.truncate(write_offset_);
    release_usage(write_index_, claimed);
    if (options_.sync == Sync::kInterval) write_stream_.sync_data();
    // Readers may leave the old file only now that the new one exists.
    pop_in_older_ = true;
    read_limit_ = pop_limit_ = write_offset_;
  }
  sync_directory();

  write_stream_ = std::move(fresh);
  write_index_ = next;
  write_offset_ = 0;
  allocated_ = 0;
  ++write_serial_;
  if (drained) {
    const uint64_t passed = pop_stream_.passed();
    if (!pop_stream_.open(path, next, write_serial_, passed) ||
        !read_stream_.take_place_of(pop_stream_)) {
      changed_.store(true, std::memory_order_release);
    }
    read_limit_ = pop_limit_ = 0;
    reclaimed_end_ = 0;
  }
  publish_write_end();
  return true;
}

void DiskQueue::flush_loop() {
  const auto half = std::chrono::milliseconds(options_.interval_ms) / 2;
  std::unique_lock<std::mutex> lock(sync_lock_);
  for (;;) {
    sync_wake_.wait(lock, [&] { return stop_flusher_ || dirty_since_ != Clock::time_point{}; });
    if (dirty_since_ == Clock::time_point{}) return;
    // Data pushed at `dirty_since_` is due on disk one interval later; the sync
    // starts halfway, taking along what was pushed meanwhile.
    sync_wake_.wait_until(lock, dirty_since_ + half, [&] { return stop_flusher_; });
    dirty_since_ = Clock::time_point{};
    dirty_.store(false, std::memory_order_release);
    lock.unlock();
    sync_write_file();
    lock.lock();
  }
}

void DiskQueue::sync_write_file() {
  QueueFile file;
  {
    std::lock_guard<std::mutex> guard(write_lock_);
    if (!write_stream_.is_open() || !file.duplicate(write_stream_)) return;
  }
  const int error = file.sync_data();
  syncs_.fetch_add(1, std::memory_order_relaxed);
  if (error != 0) {
    zeb::log_error(logger_, "Queue in %s: unable to force records to disk: %s", dir_.c_str(),
                   std::strerror(error));
  }
}
