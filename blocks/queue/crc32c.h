#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32C (Castagnoli) of `size` bytes, as iSCSI and ext4 use it: the
// processor's instruction where there is one, a table otherwise. `previous` is
// the checksum of the bytes before these, so that a long run can be taken in
// pieces: crc32c(b, crc32c(a)) is the checksum of a followed by b.
uint32_t crc32c(const char* data, size_t size, uint32_t previous = 0);
