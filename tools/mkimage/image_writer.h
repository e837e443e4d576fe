#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::mkimage {

// One module of an image: its entry fields, the one descriptor of its moduleInfo (tag, then
// info bytes; the length byte is derived) and its data.
struct ModuleSpec {
    uint16_t moduleId = 0;
    uint8_t moduleVersion = 0;
    uint8_t infoTag = 0x81;
    std::vector<uint8_t> infoBytes; // at most 253, so that moduleInfoLength fits one byte
    std::vector<uint8_t> data;
};

struct ImageSpec {
    // The three leading blocks that the server skips (1-byte length, then two 2-byte lengths
    // stored least significant byte first).
    std::vector<uint8_t> block1; // at most 255 bytes
    std::vector<uint8_t> block2; // at most 65535 bytes
    std::vector<uint8_t> block3; // at most 65535 bytes
    std::vector<ModuleSpec> modules;
    std::vector<uint8_t> trailer; // bytes after the last module, which the server ignores
};

constexpr size_t MAX_IMAGE_MODULES = 50;
constexpr size_t MAX_INFO_BYTES = 253;

// Serialises `plan`. Returns false with a message when a length does not fit its field or the
// image would hold more modules than the server accepts.
bool buildImage(const ImageSpec& plan, std::vector<uint8_t>& out, std::string& error);

// `size` bytes of a deterministic pseudo-random pattern (xorshift32) from `seed`.
std::vector<uint8_t> patternData(uint32_t size, uint32_t seed);

// Parses hex bytes such as "81 02 00 0A", "8102000a" or "0x81,0x02"; false on a stray character
// or an odd digit count.
bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out);

} // namespace kestrune::mkimage
