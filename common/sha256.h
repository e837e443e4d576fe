#pragma once

// SHA-256, for the station's record of which image each box received. Written out here because
// neither build has a hashing library that keeps the Windows programs single static files.

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrune {

class Sha256 {
public:
    Sha256();
    void update(const uint8_t* data, size_t length);
    // The digest as 64 lower-case hexadecimal digits. Ends the hash.
    std::string hex();

private:
    void block(const uint8_t* p);

    uint32_t state_[8];
    uint8_t buffer_[64];
    size_t used_ = 0;
    uint64_t length_ = 0;
};

} // namespace kestrune
