#pragma once

// What the simulated box knows of the image, read by its own parser with its own checksums
// rather than the server's code, so that the simulator is an independent judge of the server.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace boxsim {

using Bytes = std::vector<uint8_t>;

uint32_t crc32Mpeg2(const uint8_t* p, size_t n);
uint16_t crc16Arc(const uint8_t* p, size_t n);

inline uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
inline void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}

struct Module {
    uint16_t moduleId;
    uint32_t size;
    uint8_t version;
    Bytes info;
    const uint8_t* data;
};

// Reads the image into `storage` and lists its modules (their data point into `storage`);
// false with a reason on a file it cannot use.
bool readImage(const char* path, Bytes& storage, std::vector<Module>& modules, std::string& error);

} // namespace boxsim
