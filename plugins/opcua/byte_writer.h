#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Appends OPC UA binary (little-endian) values to a growing byte buffer.
//
// Thread rules: one writer belongs to one thread.
class ByteWriter {
 public:
  void u8(uint8_t v) { bytes_.push_back(v); }
  void u16(uint16_t v);
  void u32(uint32_t v);
  void u64(uint64_t v);
  void i8(int8_t v) { u8(static_cast<uint8_t>(v)); }
  void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
  void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
  void i64(int64_t v) { u64(static_cast<uint64_t>(v)); }
  void f32(float v);
  void f64(double v);
  void boolean(bool v) { u8(v ? 1 : 0); }
  // String or ByteString with its Int32 length.
  void string(const std::string& v);
  void raw(const void* data, size_t size);
  // Writes -1 (null) for a String, ByteString or array.
  void null_length() { i32(-1); }
  // Overwrites 4 bytes at offset (for sizes known only at the end).
  void patch_u32(size_t offset, uint32_t v);

  size_t size() const { return bytes_.size(); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};
