#pragma once

#include <sys/stat.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/unique_fd.h"

// One open queue file, read and written with positioned system calls only.
// Nothing is mapped into memory, so a file that someone else truncates or
// removes shows as short reads and failed writes, never as a signal.
//
// Error results are error numbers (0 for success). Not thread-safe: each user
// (the writer, each reader) has its own.
class QueueFile {
 public:
  QueueFile() = default;
  QueueFile(QueueFile&&) noexcept = default;
  QueueFile& operator=(QueueFile&&) noexcept = default;
  QueueFile(const QueueFile&) = delete;
  QueueFile& operator=(const QueueFile&) = delete;

  // Opens an existing file; false (errno set) when it cannot be opened.
  bool open(const std::string& path, bool writable);
  // Creates the file for reading and writing, emptying it if it exists.
  bool create(const std::string& path);
  // Another descriptor of the same open file; false (errno set) on failure.
  bool duplicate(const QueueFile& other);
  bool is_open() const { return fd_.valid(); }
  void close() { fd_.reset(); }
  int fd() const { return fd_.get(); }

  // Reads up to `size` bytes at `offset`; the count read (fewer at the end of
  // the file), or -1 with errno set.
  int64_t read_at(uint64_t offset, char* out, size_t size) const;
  // Writes all of `parts` at `offset`. A write the file system takes only in
  // part (full, over quota) gives ENOSPC.
  int write_at(uint64_t offset, const struct iovec* parts, int count) const;
  int write_at(uint64_t offset, const char* data, size_t size) const;
  // Claims disk blocks for [offset, end), growing the file to `end`, so that
  // later writes there cannot fail for want of space.
  int allocate(uint64_t offset, uint64_t end) const;
  // Gives the disk blocks of [offset, end) back; the file keeps its size and
  // reads zeros there.
  int punch(uint64_t offset, uint64_t end) const;
  int truncate(uint64_t size) const;
  int sync_data() const;
  // Forces the page holding `offset` to disk; cheaper than `sync_data`, which
  // also waits for every other dirty page of the file.
  int sync_page(uint64_t offset) const;
  bool stat(struct stat* out) const { return ::fstat(fd_.get(), out) == 0; }

 private:
  qor::UniqueFd fd_;
};
