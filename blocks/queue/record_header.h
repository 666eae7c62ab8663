#pragma once

#include <cstdint>

// The 16-byte header in front of every record of a queue file, all integers
// little-endian: state (2 bytes), padding (6 bytes), payload length (8 bytes).
// The payload follows the header.
//
// The padding carries a CRC-32C of the payload: byte 2 is kChecksumPresent and
// bytes 4-7 hold the checksum. Headers written without it have zeros there and
// are read as before; a reader that ignores the padding reads every file.
struct RecordHeader {
  static constexpr uint64_t kSize = 16;
  // Header written, payload possibly incomplete: readers stop here.
  static constexpr uint16_t kUncommitted = 0;
  // Payload complete and not yet delivered. Readers take any state other than
  // 0 and 3 as committed.
  static constexpr uint16_t kCommitted = 1;
  // Delivered; skipped together with its payload.
  static constexpr uint16_t kConsumed = 3;
  static constexpr uint8_t kChecksumPresent = 1;

  uint16_t state = kUncommitted;
  bool has_checksum = false;
  uint32_t checksum = 0;
  uint64_t length = 0;

  static RecordHeader read(const char* bytes) {
    RecordHeader header;
    header.state = static_cast<uint16_t>(byte(bytes, 0) | byte(bytes, 1) << 8);
    header.has_checksum = byte(bytes, 2) == kChecksumPresent;
    for (int i = 3; i >= 0; --i) {
      header.checksum = header.checksum << 8 | static_cast<uint32_t>(byte(bytes, 4 + i));
    }
    for (int i = 7; i >= 0; --i) header.length = header.length << 8 | byte(bytes, 8 + i);
    return header;
  }

  void write(char* bytes) const {
    write_state(bytes, state);
    bytes[2] = static_cast<char>(has_checksum ? kChecksumPresent : 0);
    bytes[3] = 0;
    for (int i = 0; i < 4; ++i) {
      bytes[4 + i] = static_cast<char>(has_checksum ? checksum >> (8 * i) & 0xff : 0);
    }
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
