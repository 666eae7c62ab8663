#include "byte_reader.h"

#include <cstring>

namespace {
constexpr int kMaxDepth = 16;
}  // namespace

void ByteReader::need(size_t count) const {
  if (count > size_ - pos_) throw DecodeError("message truncated");
}

const uint8_t* ByteReader::take(size_t count) {
  need(count);
  const uint8_t* at = data_ + pos_;
  pos_ += count;
  return at;
}

void ByteReader::skip(size_t count) {
  take(count);
}

uint8_t ByteReader::u8() {
  return *take(1);
}

uint16_t ByteReader::u16() {
  const uint8_t* p = take(2);
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t ByteReader::u32() {
  const uint8_t* p = take(4);
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t ByteReader::u64() {
  const uint64_t low = u32();
  const uint64_t high = u32();
  return low | (high << 32);
}

float ByteReader::f32() {
  const uint32_t bits = u32();
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

double ByteReader::f64() {
  const uint64_t bits = u64();
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string ByteReader::string(bool* is_null) {
  const int32_t length = i32();
  if (is_null) *is_null = length < 0;
  if (length < 0) {
    if (length != -1) throw DecodeError("negative string length");
    return std::string();
  }
  const uint8_t* p = take(static_cast<size_t>(length));
  charge(sizeof(std::string) + static_cast<size_t>(length));
  return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(length));
}

size_t ByteReader::array_length(size_t min_element_size) {
  const int32_t length = i32();
  if (length == -1) return 0;
  if (length < 0) throw DecodeError("negative array length");
  const size_t count = static_cast<size_t>(length);
  if (min_element_size > 0 && count > remaining() / min_element_size) {
    throw DecodeError("array longer than the message");
  }
  return count;
}

void ByteReader::charge(size_t bytes) {
  if (bytes > budget_) {
    throw DecodeTooLarge("decoded value larger than " + std::to_string(kCostPerByte) +
                         " times its message allows");
  }
  budget_ -= bytes;
}

void ByteReader::enter() {
  if (++depth_ > kMaxDepth) throw DecodeError("structure nested too deeply");
}
