#include "byte_writer.h"

#include <cstring>
#include <limits>
#include <stdexcept>

void ByteWriter::u16(uint16_t v) {
  u8(static_cast<uint8_t>(v));
  u8(static_cast<uint8_t>(v >> 8));
}

void ByteWriter::u32(uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) u8(static_cast<uint8_t>(v >> shift));
}

void ByteWriter::u64(uint64_t v) {
  u32(static_cast<uint32_t>(v));
  u32(static_cast<uint32_t>(v >> 32));
}

void ByteWriter::f32(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  u32(bits);
}

void ByteWriter::f64(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  u64(bits);
}

void ByteWriter::string(const std::string& v) {
  if (v.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("string too long for OPC UA");
  }
  i32(static_cast<int32_t>(v.size()));
  raw(v.data(), v.size());
}

void ByteWriter::raw(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  bytes_.insert(bytes_.end(), p, p + size);
}

void ByteWriter::patch_u32(size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes_.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
}
