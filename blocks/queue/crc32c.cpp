#include "blocks/queue/crc32c.h"

#include <array>
#include <cstring>

namespace {

constexpr uint32_t kPolynomial = 0x82f63b78;  // reflected

std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = value & 1 ? value >> 1 ^ kPolynomial : value >> 1;
    table[i] = value;
  }
  return table;
}

uint32_t by_table(uint32_t crc, const unsigned char* data, size_t size) {
  static const std::array<uint32_t, 256> table = make_table();
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xff] ^ crc >> 8;
  return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t by_instruction(uint32_t crc, const unsigned char* data,
                                                          size_t size) {
  uint64_t wide = crc;
  for (; size >= 8; size -= 8, data += 8) {
    uint64_t word = 0;
    std::memcpy(&word, data, 8);
    wide = __builtin_ia32_crc32di(wide, word);
  }
  crc = static_cast<uint32_t>(wide);
  for (; size > 0; --size, ++data) crc = __builtin_ia32_crc32qi(crc, *data);
  return crc;
}

bool has_instruction() {
  static const bool has = __builtin_cpu_supports("sse4.2");
  return has;
}
#endif

}  // namespace

uint32_t crc32c(const char* data, size_t size, uint32_t previous) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
#if defined(__x86_64__)
  if (has_instruction()) return ~by_instruction(~previous, bytes, size);
#endif
  return ~by_table(~previous, bytes, size);
}
