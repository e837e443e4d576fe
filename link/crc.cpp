#include "link/link_frame.h"

#include <array>

namespace kestrune {
namespace {

// Entry i: the register after shifting byte i, placed in the top 8 bits, through the
// polynomial 0x04C11DB7 eight times (most significant bit first).
constexpr std::array<uint32_t, 256> makeCrc32Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x80000000u) ? (reg << 1) ^ 0x04C11DB7u : reg << 1;
        }
        table[i] = reg;
    }
    return table;
}

// Reflected polynomial 0xA001 (0x8005 taken least significant bit first).
constexpr std::array<uint16_t, 256> makeCrc16Table() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 1u) ? static_cast<uint16_t>((reg >> 1) ^ 0xA001u)
                             : static_cast<uint16_t>(reg >> 1);
        }
        table[i] = reg;
    }
    return table;
}

constexpr std::array<uint32_t, 256> crc32Table = makeCrc32Table();
constexpr std::array<uint16_t, 256> crc16Table = makeCrc16Table();

} // namespace

uint32_t crc32(const uint8_t* data, uint32_t length, uint32_t initial) {
    uint32_t reg = initial;
    for (uint32_t i = 0; i < length; ++i) {
        reg = (reg << 8) ^ crc32Table[((reg >> 24) ^ data[i]) & 0xFFu];
    }
    return reg;
}

uint16_t crc16(const uint8_t* data, uint32_t length, uint16_t initial) {
    uint16_t reg = initial;
    for (uint32_t i = 0; i < length; ++i) {
        reg = static_cast<uint16_t>((reg >> 8) ^ crc16Table[(reg ^ data[i]) & 0xFFu]);
    }
    return reg;
}

} // namespace kestrune
