#include "crc32.h"

#include <array>

namespace checksum {

namespace {

// Slicing-by-8 tables: table[k][b] is the CRC of byte b followed by k zero
// bytes, so eight bytes are folded in with eight lookups and no carried chain.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables makeCrcTables()
{
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int k = 1; k < 8; ++k)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr CrcTables kCrc = makeCrcTables();

}  // namespace

uint32_t crc32(const char *data, size_t size, uint32_t crc)
{
    const auto *p = reinterpret_cast<const uint8_t *>(data);
    uint32_t c = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
        // Little-endian assembly by hand: independent of the machine's order.
        const uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        c = kCrc[7][lo & 0xFF] ^ kCrc[6][(lo >> 8) & 0xFF] ^ kCrc[5][(lo >> 16) & 0xFF] ^ kCrc[4][lo >> 24]
            ^ kCrc[3][p[4]] ^ kCrc[2][p[5]] ^ kCrc[1][p[6]] ^ kCrc[0][p[7]];
    }
    for (; size > 0; --size, ++p)
        c = kCrc[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

}  // namespace checksum
