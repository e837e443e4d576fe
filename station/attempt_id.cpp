#include "station/attempt_id.h"

#include <chrono>
#include <sodium.h>

namespace kestrune::station {

std::string uuidV7(uint64_t unixMs, const uint8_t random[10]) {
    uint8_t b[16];
    for (int i = 0; i < 6; ++i) {
        b[i] = static_cast<uint8_t>(unixMs >> (40 - 8 * i));
    }
    for (int i = 0; i < 10; ++i) {
        b[6 + i] = random[i];
    }
    b[6] = static_cast<uint8_t>(0x70 | (b[6] & 0x0F)); // version 7
    b[8] = static_cast<uint8_t>(0x80 | (b[8] & 0x3F)); // the RFC's variant
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += digits[b[i] >> 4];
        text += digits[b[i] & 15];
    }
    return text;
}

std::string newUuid() {
    // sodium_init picks the system's source once; randombytes_buf never fails after it.
    static const bool initialised = sodium_init() >= 0;
    (void)initialised;
    uint8_t random[10];
    randombytes_buf(random, sizeof random);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return uuidV7(static_cast<uint64_t>(ms), random);
}

} // namespace kestrune::station
