#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "decode_error.h"

// Reads OPC UA binary (little-endian) values from a borrowed byte range. Every
// read is bounds-checked and throws DecodeError past the end; array lengths are
// checked against the bytes left, so a garbled count never allocates much.
//
// What is decoded from the range may cost at most kCostPerByte times its size
// plus kCostAllowance bytes of memory: decoders charge their estimated cost
// before they allocate, and charge throws DecodeTooLarge beyond it. A byte on
// the wire can stand for far more (an empty Variant is one byte and a JSON
// object of hundreds), so the wire limit alone does not bound the memory.
//
// Thread rules: one reader belongs to one thread.
class ByteReader {
 public:
  static constexpr size_t kCostPerByte = 32;
  static constexpr size_t kCostAllowance = 16 << 20;

  ByteReader(const uint8_t* data, size_t size)
      : data_(data), size_(size), budget_(size * kCostPerByte + kCostAllowance) {}

  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  uint64_t u64();
  int8_t i8() { return static_cast<int8_t>(u8()); }
  int16_t i16() { return static_cast<int16_t>(u16()); }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  int64_t i64() { return static_cast<int64_t>(u64()); }
  float f32();
  double f64();
  bool boolean() { return u8() != 0; }
  // String, ByteString or XmlElement; null is reported through is_null.
  std::string string(bool* is_null = nullptr);
  // An array count: -1 (null) becomes 0; a count that cannot fit in the bytes
  // left, given at least min_element_size bytes per element, throws.
  size_t array_length(size_t min_element_size = 1);
  // Skips count bytes.
  void skip(size_t count);
  // Points at the next count bytes and moves past them.
  const uint8_t* take(size_t count);

  size_t remaining() const { return size_ - pos_; }
  size_t position() const { return pos_; }

  // Counts bytes of memory a decoder is about to use against the budget.
  void charge(size_t bytes);

  // Nesting guard for recursive structures (DiagnosticInfo, Variant in Variant).
  void enter();
  void leave() { --depth_; }

 private:
  void need(size_t count) const;

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  int depth_ = 0;
  size_t budget_;
};
