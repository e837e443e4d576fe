#include "tools/boxsim/box_link.h"

#include "common/byte_order.h"

namespace boxsim {
namespace {

// Table-driven: the soak test and the fuzz target check millions of bytes.
struct Tables {
    uint32_t mpeg2[256];
    uint16_t arc[256];
    constexpr Tables() : mpeg2(), arc() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 24;
            uint16_t q = static_cast<uint16_t>(i);
            for (int bit = 0; bit < 8; ++bit) {
                r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04C11DB7u : r << 1;
                q = static_cast<uint16_t>((q & 1) != 0 ? (q >> 1) ^ 0xA001 : q >> 1);
            }
            mpeg2[i] = r;
            arc[i] = q;
        }
    }
};
constexpr Tables TABLES;

} // namespace

uint32_t crc32Mpeg2(const uint8_t* p, size_t n) {
    uint32_t r = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        r = (r << 8) ^ TABLES.mpeg2[((r >> 24) ^ p[i]) & 0xFF];
    }
    return r;
}

uint16_t crc16Arc(const uint8_t* p, size_t n) {
    uint16_t r = 0;
    for (size_t i = 0; i < n; ++i) {
        r = static_cast<uint16_t>((r >> 8) ^ TABLES.arc[(r ^ p[i]) & 0xFF]);
    }
    return r;
}

void frameHeader(const uint8_t* payload, size_t n, uint8_t header[FRAME_HEADER_SIZE]) {
    kestrune::ByteWriter w(header, FRAME_HEADER_SIZE);
    w.u32(static_cast<uint32_t>(n));
    w.u32(crc32Mpeg2(payload, n));
    w.u8(0);
    w.u16(crc16Arc(header, 9));
}

bool headerSound(const uint8_t header[FRAME_HEADER_SIZE]) {
    return header[8] == 0 && kestrune::readU16BE(header + 9) == crc16Arc(header, 9) &&
           kestrune::readU32BE(header) <= MAX_FRAME_PAYLOAD;
}

bool payloadMatches(const uint8_t header[FRAME_HEADER_SIZE], const uint8_t* payload, size_t n) {
    return kestrune::readU32BE(header) == n &&
           kestrune::readU32BE(header + 4) == crc32Mpeg2(payload, n);
}

} // namespace boxsim
