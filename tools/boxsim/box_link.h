#pragma once

// The box's own link arithmetic: its CRCs and frame headers, written apart from the server's
// link/ so that every box (the simulator, the session tests' boxes, the fuzz target's) judges
// the server rather than agrees with it.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace boxsim {

using Bytes = std::vector<uint8_t>;

uint32_t crc32Mpeg2(const uint8_t* p, size_t n);
uint16_t crc16Arc(const uint8_t* p, size_t n);

// A frame header: payload length (u32), CRC-32 of the payload (u32), a reserved 0, the CRC-16
// of the nine bytes before it.
constexpr size_t FRAME_HEADER_SIZE = 11;
constexpr uint32_t MAX_FRAME_PAYLOAD = 65535;
void frameHeader(const uint8_t* payload, size_t n, uint8_t header[FRAME_HEADER_SIZE]);
inline Bytes frameHeader(const Bytes& payload) {
    Bytes h(FRAME_HEADER_SIZE);
    frameHeader(payload.data(), payload.size(), h.data());
    return h;
}
// A header the box can take: reserved byte 0, its CRC-16 right, a payload of at most
// MAX_FRAME_PAYLOAD bytes.
bool headerSound(const uint8_t header[FRAME_HEADER_SIZE]);
// The payload is the one the header announces: its length and CRC-32.
bool payloadMatches(const uint8_t header[FRAME_HEADER_SIZE], const uint8_t* payload, size_t n);

} // namespace boxsim
