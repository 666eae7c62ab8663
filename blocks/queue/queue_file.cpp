#include "blocks/queue/queue_file.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace {

constexpr auto kMaxOff = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

bool valid_range(uint64_t offset, uint64_t end) {
  return offset <= end && end <= kMaxOff;
}

}  // namespace

bool QueueFile::open(const std::string& path, bool writable) {
  fd_ = qor::UniqueFd(::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
  return fd_.valid();
}

bool QueueFile::create(const std::string& path) {
  fd_ = qor::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  return fd_.valid();
}

bool QueueFile::duplicate(const QueueFile& other) {
  fd_ = qor::UniqueFd(::fcntl(other.fd(), F_DUPFD_CLOEXEC, 0));
  return fd_.valid();
}

int64_t QueueFile::read_at(uint64_t offset, char* out, size_t size) const {
  if (offset > kMaxOff) return 0;
  size_t done = 0;
  while (done < size) {
    const ssize_t got =
        ::pread(fd_.get(), out + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<int64_t>(done);
}

int QueueFile::write_at(uint64_t offset, const struct iovec* parts, int count) const {
  struct iovec rest[2];
  if (count < 1 || count > 2) return EINVAL;
  uint64_t size = 0;
  for (int i = 0; i < count; ++i) {
    rest[i] = parts[i];
    size += parts[i].iov_len;
  }
  if (!valid_range(offset, offset + size)) return EFBIG;
  int first = 0;
  while (first < count) {
    const ssize_t put =
        ::pwritev(fd_.get(), rest + first, count - first, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno;
    if (put == 0) return ENOSPC;
    offset += static_cast<uint64_t>(put);
    auto left = static_cast<size_t>(put);
    while (first < count && left >= rest[first].iov_len) left -= rest[first++].iov_len;
    if (first < count) {
      rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + left;
      rest[first].iov_len -= left;
    }
  }
  return 0;
}

int QueueFile::write_at(uint64_t offset, const char* data, size_t size) const {
  struct iovec part = {const_cast<char*>(data), size};
  return write_at(offset, &part, 1);
}

int QueueFile::allocate(uint64_t offset, uint64_t end) const {
  if (!valid_range(offset, end)) return EFBIG;
  if (end == offset) return 0;
  if (::fallocate(fd_.get(), 0, static_cast<off_t>(offset), static_cast<off_t>(end - offset)) !=
      0) {
    return errno;
  }
  return 0;
}

int QueueFile::punch(uint64_t offset, uint64_t end) const {
  if (!valid_range(offset, end)) return EINVAL;
  if (end == offset) return 0;
  if (::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                  static_cast<off_t>(end - offset)) != 0) {
    return errno;
  }
  return 0;
}

int QueueFile::truncate(uint64_t size) const {
  if (size > kMaxOff) return EFBIG;
  return ::ftruncate(fd_.get(), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int QueueFile::sync_data() const {
  return ::fdatasync(fd_.get()) == 0 ? 0 : errno;
}

int QueueFile::sync_page(uint64_t offset) const {
  if (offset > kMaxOff) return EINVAL;
  const unsigned flags =
      SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
  return ::sync_file_range(fd_.get(), static_cast<off_t>(offset), 1, flags) == 0 ? 0 : errno;
}
