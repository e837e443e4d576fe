#pragma once

// The two messages a box sends, built by the box's own code: the DownloadInfoRequest and the
// DownloadDataRequest.

#include "tools/boxsim/box_link.h"

#include <cstdint>
#include <string>

namespace boxsim {

constexpr uint16_t MSG_INFO_REQUEST = 0x1001;
constexpr uint16_t MSG_INFO_RESPONSE = 0x1002;
constexpr uint16_t MSG_DATA_BLOCK = 0x1003;
constexpr uint16_t MSG_DATA_REQUEST = 0x1004;

// What a DownloadInfoRequest carries. Without descriptors of its own the box sends two
// descriptors of 9 bytes, a type-2 one and (with typeOne) a type-1 one.
struct InfoRequestShape {
    uint32_t bufferSize = 65536;
    uint16_t maximumBlockSize = 0;
    bool typeOne = true;
    Bytes descriptors;            // whole descriptors, used instead of the two above when set
    uint16_t descriptorCount = 0; // how many `descriptors` holds
    // The unit's serial, in a user-defined descriptor after the others ("" for none).
    std::string serial;
    uint8_t serialType = 0x40;
};

// A compatibility descriptor as ISO/IEC 13818-6 lays it out: descriptorType (1 system
// hardware, 2 system software), descriptorLength, specifierType 1 with the 24-bit OUI as its
// specifierData, model, version, and no sub-descriptors.
constexpr uint8_t DESCRIPTOR_HARDWARE = 1;
constexpr uint8_t DESCRIPTOR_SOFTWARE = 2;
void appendCompatibilityDescriptor(Bytes& out, uint8_t type, uint32_t oui, uint16_t model,
                                   uint16_t version);

Bytes infoRequest(const InfoRequestShape& shape);
inline Bytes infoRequest(uint32_t bufferSize, uint16_t maximumBlockSize, bool typeOne = true) {
    return infoRequest(InfoRequestShape{bufferSize, maximumBlockSize, typeOne, {}, 0, {}, 0x40});
}
Bytes dataRequest(uint32_t downloadId, uint16_t moduleId, uint16_t blockNumber, uint8_t reason);

} // namespace boxsim
