#include "tools/mkimage/image_writer.h"

#include "common/byte_order.h"

#include <cctype>

namespace kestrune::mkimage {

namespace {

void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

bool buildImage(const ImageSpec& plan, std::vector<uint8_t>& out, std::string& error) {
    if (plan.block1.size() > 0xFF) {
        error = "block 1 holds at most 255 bytes";
        return false;
    }
    if (plan.block2.size() > 0xFFFF || plan.block3.size() > 0xFFFF) {
        error = "blocks 2 and 3 hold at most 65535 bytes each";
        return false;
    }
    if (plan.modules.size() > MAX_IMAGE_MODULES) {
        error = "an image holds at most 50 modules";
        return false;
    }
    uint64_t total = 1 + plan.block1.size() + 2 + plan.block2.size() + 2 + plan.block3.size() + 2 +
                     plan.trailer.size();
    for (const ModuleSpec& module : plan.modules) {
        if (module.infoBytes.size() > MAX_INFO_BYTES) {
            error = "module " + std::to_string(module.moduleId) +
                    ": at most 253 info bytes (moduleInfoLength is one byte)";
            return false;
        }
        total += 8 + 2 + module.infoBytes.size() + module.data.size();
    }
    if (total >= 0xFFFFFFFFu) {
        error = "the image would be 4 GiB or more";
        return false;
    }

    out.clear();
    out.reserve(static_cast<size_t>(total));
    out.push_back(static_cast<uint8_t>(plan.block1.size()));
    append(out, plan.block1);
    appendU16LE(out, static_cast<uint16_t>(static_cast<uint32_t>(plan.block2.size())));
    append(out, plan.block2);
    appendU16LE(out, static_cast<uint16_t>(static_cast<uint32_t>(plan.block3.size())));
    append(out, plan.block3);
    appendU16BE(out, static_cast<uint16_t>(static_cast<uint32_t>(plan.modules.size())));
    for (const ModuleSpec& module : plan.modules) {
        appendU16BE(out, static_cast<uint16_t>(module.moduleId));
        appendU32BE(out, static_cast<uint32_t>(module.data.size()));
        out.push_back(module.moduleVersion);
        out.push_back(static_cast<uint8_t>(2 + module.infoBytes.size()));
        out.push_back(module.infoTag);
        out.push_back(static_cast<uint8_t>(module.infoBytes.size()));
        append(out, module.infoBytes);
        append(out, module.data);
    }
    append(out, plan.trailer);
    return true;
}

std::vector<uint8_t> patternData(uint32_t size, uint32_t seed) {
    std::vector<uint8_t> data(size);
    uint32_t state = seed ^ 0x9E3779B9u;
    if (state == 0) {
        state = 1;
    }
    for (uint32_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        data[i] = static_cast<uint8_t>(state >> 24);
    }
    return data;
}

bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    int high = -1;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == ',' || c == ':' || c == '\t') {
            if (high >= 0) {
                return false;
            }
            continue;
        }
        if (high < 0 && c == '0' && i + 1 < text.size() &&
            (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        const int digit = hexDigit(c);
        if (digit < 0) {
            return false;
        }
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}

} // namespace kestrune::mkimage
