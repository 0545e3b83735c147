// The common CRC-32 (as zlib): reflected 0x04C11DB7, initial and final XOR
// 0xFFFFFFFF. Setup files and the serial protocol share this one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace checksum {

// CRC-32 of `size` bytes; pass an earlier result as `crc` to continue it.
uint32_t crc32(const char *data, size_t size, uint32_t crc = 0);

}  // namespace checksum
