#pragma once

#include <cstdint>
#include <string>

#include "framework/unique_fd.h"

// One queue file, open and mapped into memory with a shared mapping, so that
// what is stored in the mapping is in the kernel's page cache at once and
// survives the end of the process without a system call per record.
//
// The mapping starts at offset 0 and grows as callers need more of the file;
// it may reach past the end of the file, but only bytes inside the file may be
// touched. Not thread-safe: each user (the writer, each reader) has its own.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens an existing file; false (errno set) when it cannot be opened.
  bool open(const std::string& path, bool writable);
  // Creates the file for reading and writing, emptying it if it exists.
  bool create(const std::string& path);
  bool is_open() const { return fd_.valid(); }
  void close();

  // The file's size on disk; false when it cannot be read.
  bool size(uint64_t* out) const;
  // Makes [0, end) addressable; false when the mapping cannot be made.
  bool map(uint64_t end);
  char* data() const { return data_; }

  // Allocates disk blocks for [offset, end), growing the file to `end`, so that
  // stores into the mapping cannot fail for want of space. Returns 0 or the
  // error number.
  int allocate(uint64_t offset, uint64_t end);
  bool truncate(uint64_t size);
  // Lets the kernel drop this mapping's pages below `end` (rounded down to a
  // page); the file keeps its content. Keeps long queues from piling up
  // resident pages behind the readers and the writer.
  void release_below(uint64_t end);

 private:
  void unmap();

  qor::UniqueFd fd_;
  bool writable_ = false;
  char* data_ = nullptr;
  uint64_t mapped_ = 0;
  uint64_t released_ = 0;
};
