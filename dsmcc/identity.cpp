#include "dsmcc/identity.h"

#include "common/byte_order.h"
#include "dsmcc/codec.h"

#include <cstdio>

namespace kestrune {

namespace {

// The fields after descriptorType and descriptorLength.
SystemDescriptor readSystemDescriptor(const uint8_t* fields, uint32_t length) {
    ByteReader in(fields, length);
    SystemDescriptor d;
    d.specifierType = in.u8();
    d.specifierData = in.u24();
    d.model = in.u16();
    d.version = in.u16();
    d.subDescriptorCount = in.u8();
    d.present = in.ok();
    return d;
}

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string describe(const char* what, const SystemDescriptor& d) {
    if (!d.present) {
        return std::string("no ") + what + " descriptor";
    }
    std::string text = what;
    if (d.specifierType == 1) {
        text += " OUI " + formatOui(d.specifierData);
    } else {
        char specifier[32];
        std::snprintf(specifier, sizeof specifier, " specifier %u:0x%06X", d.specifierType,
                      static_cast<unsigned>(d.specifierData));
        text += specifier;
    }
    return text + " model " + hex4(d.model) + " version " + hex4(d.version);
}

} // namespace

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
        if (type == 1 && !identity.hardware.present) {
            identity.hardware = readSystemDescriptor(fields, static_cast<uint32_t>(held));
        } else if (type == 2 && !identity.software.present) {
            identity.software = readSystemDescriptor(fields, static_cast<uint32_t>(held));
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
    std::snprintf(text, sizeof text, "%02X-%02X-%02X", (oui >> 16) & 0xFF, (oui >> 8) & 0xFF,
                  oui & 0xFF);
    return text;
}

std::string describeIdentity(const BoxIdentity& identity) {
    if (!identity.requestSeen) {
        return "no DownloadInfoRequest";
    }
    return describe("hardware", identity.hardware) + "; " + describe("software", identity.software);
}

} // namespace kestrune
