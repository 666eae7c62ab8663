#include "blocks/queue/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

namespace {

// Remapping costs a system call and page faults, so mappings grow in large
// steps; reserving address space costs nothing.
constexpr uint64_t kMinMapping = uint64_t{1} << 24;
// Pages are given back once this much lies behind the user.
constexpr uint64_t kReleaseStep = uint64_t{1} << 26;

uint64_t page_size() {
  static const uint64_t size = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

MappedFile::~MappedFile() {
  unmap();
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      writable_(other.writable_),
      data_(std::exchange(other.data_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      released_(std::exchange(other.released_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    unmap();
    fd_ = std::move(other.fd_);
    writable_ = other.writable_;
    data_ = std::exchange(other.data_, nullptr);
    mapped_ = std::exchange(other.mapped_, 0);
    released_ = std::exchange(other.released_, 0);
  }
  return *this;
}

bool MappedFile::open(const std::string& path, bool writable) {
  close();
  fd_ = qor::UniqueFd(::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
  writable_ = writable;
  return fd_.valid();
}

bool MappedFile::create(const std::string& path) {
  close();
  fd_ = qor::UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  writable_ = true;
  return fd_.valid();
}

void MappedFile::close() {
  unmap();
  fd_.reset();
}

void MappedFile::unmap() {
  if (data_ != nullptr) ::munmap(data_, static_cast<size_t>(mapped_));
  data_ = nullptr;
  mapped_ = 0;
  released_ = 0;
}

bool MappedFile::size(uint64_t* out) const {
  struct stat info;
  if (::fstat(fd_.get(), &info) != 0) return false;
  *out = static_cast<uint64_t>(info.st_size);
  return true;
}

bool MappedFile::map(uint64_t end) {
  if (end <= mapped_) return true;
  if (!fd_.valid()) return false;
  const uint64_t page = page_size();
  uint64_t length = std::max({end, mapped_ * 2, kMinMapping});
  if (length > std::numeric_limits<uint64_t>::max() - page) return false;
  length = (length + page - 1) / page * page;
  if (length > std::numeric_limits<size_t>::max()) return false;
  const int protection = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
  void* mapping =
      ::mmap(nullptr, static_cast<size_t>(length), protection, MAP_SHARED, fd_.get(), 0);
  if (mapping == MAP_FAILED) return false;
  unmap();
  data_ = static_cast<char*>(mapping);
  mapped_ = length;
  return true;
}

int MappedFile::allocate(uint64_t offset, uint64_t end) {
  if (end <= offset) return 0;
  constexpr auto kMaxOff = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  if (end > kMaxOff) return EFBIG;
  return ::posix_fallocate(fd_.get(), static_cast<off_t>(offset), static_cast<off_t>(end - offset));
}

bool MappedFile::truncate(uint64_t size) {
  constexpr auto kMaxOff = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
  return size <= kMaxOff && ::ftruncate(fd_.get(), static_cast<off_t>(size)) == 0;
}

void MappedFile::release_below(uint64_t end) {
  if (data_ == nullptr) return;
  end = std::min(end, mapped_) / page_size() * page_size();
  if (end < released_ + kReleaseStep) return;
  ::madvise(data_ + released_, static_cast<size_t>(end - released_), MADV_DONTNEED);
  released_ = end;
}
