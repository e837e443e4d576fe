#pragma once

// Which box is asking: the system hardware (type 1) and system software (type 2) compatibility
// descriptors of its DownloadInfoRequest. Boxes send a descriptor's body in one of two forms,
// told apart by its descriptorLength:
//   full (9 bytes or more), the layout of ISO/IEC 13818-6: specifierType, 24-bit specifierData
//     (the maker's OUI when specifierType is 1), model, version, subDescriptorCount, then the
//     sub-descriptors;
//   compact (7 or 8 bytes): specifierType, 16-bit specifierData, model, version - the bytes the
//     download's own descriptor walk reads (3-4, 5-6 and 7-8 counted from descriptorType).
// A body of fewer than 7 bytes, or one cut off by the end of the request, is not read. Where a
// box sends two readable descriptors of one type, the last one counts, as in the download's
// walk; two hardware descriptors that say different things are marked, so that a guard can
// refuse the box. The download itself reads the descriptors only as CompatibilityValues; this
// reading is for people and for the guard against a wrong box, and never fails. Fixed storage,
// no allocation: it is filled on the session thread.

#include <cstdint>
#include <string>

namespace kestrune {

struct SystemDescriptor {
    bool present = false; // a descriptor of this type was read (either form)
    bool compact = false; // the 7-byte form: a 16-bit specifierData, no subDescriptorCount
    uint8_t specifierType = 0;
    uint32_t specifierData = 0; // the OUI when specifierType is 1 and the form is full
    uint16_t model = 0;
    uint16_t version = 0;
    uint8_t subDescriptorCount = 0;

    // The maker's OUI: only the full form's specifierData of specifierType 1 is one.
    bool hasOui() const { return present && !compact && specifierType == 1; }
};

// Whether two readings name the same hardware: specifier, model and version.
bool sameSystem(const SystemDescriptor& a, const SystemDescriptor& b);

struct BoxIdentity {
    static constexpr uint32_t MAX_DESCRIPTORS = 16;
    static constexpr uint32_t MAX_BYTES = 512;

    bool requestSeen = false; // a DownloadInfoRequest reached the reading at all
    SystemDescriptor hardware;
    SystemDescriptor software;
    // Type-1 descriptors walked, readable or not.
    uint32_t hardwareDescriptors = 0;
    // A readable type-1 descriptor that names other hardware than `hardware` (the last one).
    bool hardwareDisagrees = false;
    SystemDescriptor otherHardware;
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

// "hardware OUI 0x00A0B1 model 0x5601 version 0x0203; software OUI 0x00A0B1 model 0x0101
// version 0x0001"; a part that is absent says so ("no hardware descriptor").
std::string describeIdentity(const BoxIdentity& identity);
// The hardware part alone: "hardware OUI 0x00A0B1 model 0x5601 version 0x0203",
// "hardware specifier 0:0x1234 model 0x5678 version 0x9ABC" (a compact descriptor), "no hardware
// descriptor", "an unreadable hardware descriptor", or both readings of two that disagree.
std::string describeHardware(const BoxIdentity& identity);
// "0x00A0B1"
std::string formatOui(uint32_t oui);

// Hexadecimal digits, with or without 0x, of at most `max`.
bool parseHexNumber(const std::string& text, uint32_t max, uint32_t& value);
// An OUI as people write it: "00-A0-B1", "00:A0:B1", "00A0B1" or "0x00A0B1".
bool parseOui(const std::string& text, uint32_t& value);

} // namespace kestrune
