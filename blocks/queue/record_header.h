#pragma once

#include <cstdint>

// The 16-byte header in front of every record of a queue file, all integers
// little-endian: state (2 bytes), padding (6 bytes, written as zeros, never
// read), payload length (8 bytes). The payload follows the header.
struct RecordHeader {
  static constexpr uint64_t kSize = 16;
  // Header written, payload possibly incomplete: readers stop here.
  static constexpr uint16_t kUncommitted = 0;
  // Payload complete and not yet delivered. Readers take any state other than
  // 0 and 3 as committed.
  static constexpr uint16_t kCommitted = 1;
  // Delivered; skipped together with its payload.
  static constexpr uint16_t kConsumed = 3;

  uint16_t state = kUncommitted;
  uint64_t length = 0;

  static RecordHeader read(const char* bytes) {
    RecordHeader header;
    header.state = static_cast<uint16_t>(byte(bytes, 0) | byte(bytes, 1) << 8);
    for (int i = 7; i >= 0; --i) header.length = header.length << 8 | byte(bytes, 8 + i);
    return header;
  }

  void write(char* bytes) const {
    write_state(bytes, state);
    for (int i = 2; i < 8; ++i) bytes[i] = 0;
    for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<char>(length >> (8 * i) & 0xff);
  }

  // Rewrites only the state field of the header at `bytes`.
  static void write_state(char* bytes, uint16_t state) {
    bytes[0] = static_cast<char>(state & 0xff);
    bytes[1] = static_cast<char>(state >> 8);
  }

 private:
  static uint64_t byte(const char* bytes, int index) {
    return static_cast<unsigned char>(bytes[index]);
  }
};
