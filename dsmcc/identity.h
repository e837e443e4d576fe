#pragma once

// Which box is asking: the compatibility descriptors of its DownloadInfoRequest read by the
// layout of ISO/IEC 13818-6 (descriptorType 1 system hardware, 2 system software; then
// specifierType, specifierData - the maker's OUI when specifierType is 1 -, model, version and
// subDescriptorCount). This reading is for people and for the guard against a wrong box; the
// download itself reads the descriptors only as CompatibilityValues. A request too short for
// this reading gives a partial identity, never an error. Fixed storage, no allocation: it is
// filled on the session thread.

#include <cstdint>
#include <string>

namespace kestrune {

struct SystemDescriptor {
    bool present = false; // a descriptor of this type long enough to read
    uint8_t specifierType = 0;
    uint32_t specifierData = 0; // 24 bits: the OUI when specifierType is 1
    uint16_t model = 0;
    uint16_t version = 0;
    uint8_t subDescriptorCount = 0;
};

struct BoxIdentity {
    static constexpr uint32_t MAX_DESCRIPTORS = 16;
    static constexpr uint32_t MAX_BYTES = 512;

    bool requestSeen = false; // a DownloadInfoRequest reached the reading at all
    SystemDescriptor hardware;
    SystemDescriptor software;
    // Every descriptor as the box sent it: its type and bytes (descriptorLength of them, as far
    // as the request holds them), in order, up to the limits above.
    struct Raw {
        uint8_t type;
        uint16_t offset; // into bytes
        uint16_t length;
    };
    Raw descriptors[MAX_DESCRIPTORS] = {};
    uint32_t descriptorCount = 0;
    uint8_t bytes[MAX_BYTES] = {};
    uint32_t byteCount = 0;
};

// Reads the identity from a whole DownloadInfoRequest message of `length` bytes.
void readBoxIdentity(BoxIdentity& identity, const uint8_t* message, uint32_t length);

// "hardware OUI 00-A0-B1 model 0x5601 version 0x0203; software model 0x0101 version 0x0001";
// a part that is absent says so ("no hardware descriptor").
std::string describeIdentity(const BoxIdentity& identity);
// "00-A0-B1"
std::string formatOui(uint32_t oui);

} // namespace kestrune
