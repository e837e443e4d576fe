#include "dsmcc/identity.h"

#include "common/byte_order.h"
#include "dsmcc/codec.h"

#include <cstdio>

namespace kestrune {

namespace {

constexpr uint32_t COMPACT_BODY = 7;
constexpr uint32_t FULL_BODY = 9;

// The body after descriptorType and descriptorLength: `declared` bytes by the box's word, of
// which `held` arrived. The declared length picks the form.
SystemDescriptor readSystemDescriptor(const uint8_t* body, uint32_t declared, uint32_t held) {
    SystemDescriptor d;
    if (declared < COMPACT_BODY) {
        return d;
    }
    ByteReader in(body, held);
    d.compact = declared < FULL_BODY;
    d.specifierType = in.u8();
    d.specifierData = d.compact ? in.u16() : in.u24();
    d.model = in.u16();
    d.version = in.u16();
    d.subDescriptorCount = d.compact ? 0 : in.u8();
    d.present = in.ok();
    return d;
}

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// "OUI 0x00A0B1 model 0x5601 version 0x0203"
std::string reading(const SystemDescriptor& d) {
    std::string text;
    if (d.hasOui()) {
        text = "OUI " + formatOui(d.specifierData);
    } else {
        char specifier[32];
        std::snprintf(specifier, sizeof specifier,
                      d.compact ? "specifier %u:0x%04X" : "specifier %u:0x%06X", d.specifierType,
                      static_cast<unsigned>(d.specifierData));
        text = specifier;
    }
    return text + " model " + hex4(d.model) + " version " + hex4(d.version);
}

std::string describe(const char* what, const SystemDescriptor& d) {
    if (!d.present) {
        return std::string("no ") + what + " descriptor";
    }
    return std::string(what) + " " + reading(d);
}

} // namespace

bool sameSystem(const SystemDescriptor& a, const SystemDescriptor& b) {
    return a.present == b.present && a.compact == b.compact && a.specifierType == b.specifierType &&
           a.specifierData == b.specifierData && a.model == b.model && a.version == b.version;
}

void readBoxIdentity(BoxIdentity& identity, const uint8_t* message, uint32_t length) {
    identity = BoxIdentity{};
    identity.requestSeen = true;
    ByteReader in(message, length);
    in.skip(9);
    const uint8_t adaptationLength = in.u8();
    in.skip(2 + adaptationLength); // messageLength, the adaptation header
    in.skip(6);                    // bufferSize, maximumBlockSize
    const uint16_t descriptorsLength = in.u16();
    const uint16_t count = in.u16();
    if (!in.ok()) {
        return;
    }
    // Only the bytes the descriptor loop claims, and only those received.
    const size_t available =
        descriptorsLength < in.remaining() ? descriptorsLength : in.remaining();
    ByteReader loop(in.bytes(available), available);
    for (uint32_t i = 0; i < count && loop.remaining() >= 2; ++i) {
        const uint8_t type = loop.u8();
        const uint8_t declared = loop.u8();
        const size_t held = declared < loop.remaining() ? declared : loop.remaining();
        const uint8_t* fields = loop.bytes(held);
        const SystemDescriptor d =
            readSystemDescriptor(fields, declared, static_cast<uint32_t>(held));
        if (type == 1) {
            ++identity.hardwareDescriptors;
            if (d.present) {
                if (identity.hardware.present && !sameSystem(identity.hardware, d)) {
                    identity.hardwareDisagrees = true;
                    identity.otherHardware = identity.hardware;
                }
                identity.hardware = d;
            }
        } else if (type == 2 && d.present) {
            identity.software = d;
        }
        if (identity.descriptorCount < BoxIdentity::MAX_DESCRIPTORS &&
            identity.byteCount + held <= BoxIdentity::MAX_BYTES) {
            BoxIdentity::Raw& raw = identity.descriptors[identity.descriptorCount++];
            raw.type = type;
            raw.offset = static_cast<uint16_t>(identity.byteCount);
            raw.length = static_cast<uint16_t>(held);
            for (size_t k = 0; k < held; ++k) {
                identity.bytes[identity.byteCount++] = fields[k];
            }
        }
    }
}

std::string formatOui(uint32_t oui) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(oui & 0xFFFFFF));
    return text;
}

std::string describeHardware(const BoxIdentity& identity) {
    if (identity.hardwareDisagrees) {
        return "two hardware descriptors that disagree: " + reading(identity.otherHardware) +
               " and " + reading(identity.hardware);
    }
    if (!identity.hardware.present && identity.hardwareDescriptors > 0) {
        return "an unreadable hardware descriptor";
    }
    return describe("hardware", identity.hardware);
}

std::string describeIdentity(const BoxIdentity& identity) {
    if (!identity.requestSeen) {
        return "no DownloadInfoRequest";
    }
    return describeHardware(identity) + "; " + describe("software", identity.software);
}

// Hexadecimal digits, with or without 0x, of at most `max`.
bool parseHexNumber(const std::string& text, uint32_t max, uint32_t& value) {
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t first = prefixed ? 2 : 0;
    if (text.size() == first) {
        return false;
    }
    uint64_t result = 0;
    for (size_t i = first; i < text.size(); ++i) {
        const char c = text[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return false;
        }
        result = result * 16 + digit;
        if (result > max) {
            return false;
        }
    }
    value = static_cast<uint32_t>(result);
    return true;
}

// "00-A0-B1" and "00:A0:B1" (three pairs of digits), or a hexadecimal number.
bool parseOui(const std::string& text, uint32_t& value) {
    if (text.find_first_of("-:") == std::string::npos) {
        return parseHexNumber(text, 0xFFFFFF, value);
    }
    if (text.size() != 8 || text[2] != text[5] || (text[2] != '-' && text[2] != ':')) {
        return false;
    }
    return parseHexNumber(text.substr(0, 2) + text.substr(3, 2) + text.substr(6, 2), 0xFFFFFF,
                          value);
}

} // namespace kestrune
