#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "blocks/queue/crc32c.h"
#include "support/child_process.h"

// Queue file bytes written by hand, and a fresh queue directory, for tests
// that build or damage queue files.

// A 16-byte record header: state, zero padding, payload length (little-endian).
inline std::string header(uint16_t state, uint64_t length) {
  std::string bytes(16, '\0');
  bytes[0] = static_cast<char>(state & 0xff);
  bytes[1] = static_cast<char>(state >> 8);
  for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<char>(length >> (8 * i) & 0xff);
  return bytes;
}

// A record as written by hand or by an older run: zero padding, no checksum.
inline std::string record(uint16_t state, const std::string& payload) {
  return header(state, payload.size()) + payload;
}

// A record as `push` writes it: byte 2 says a checksum follows, bytes 4-7 hold
// the CRC-32C of the payload.
inline std::string stored(uint16_t state, const std::string& payload) {
  std::string bytes = record(state, payload);
  const uint32_t crc = crc32c(payload.data(), payload.size());
  bytes[2] = 1;
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<char>(crc >> (8 * i) & 0xff);
  return bytes;
}

// A fresh, empty directory per test.
class QueueDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = weft_test::temp_path("queue");
    ASSERT_EQ(::mkdir(dir_.c_str(), 0775), 0);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};
