#pragma once

// The hardware a serve or a station is for (--expect-hardware MODEL[/VERSION], --expect-oui OUI):
// how it is written, which boxes it lets through and the words for the ones it does not. Under
// a guard a box is served only when this attempt's DownloadInfoRequest arrived whole, parsed,
// and carries one hardware reading that matches; without one every box is served, as always.

#include "dsmcc/identity.h"
#include "release/release.h"

#include <cstdint>
#include <string>

namespace kestrune::station {

struct HardwareGuard {
    bool active = false;
    uint16_t model = 0;
    bool checkVersion = false;
    uint16_t version = 0;
    bool checkOui = false;
    uint32_t oui = 0;
};

// The option values as given ("" for one not given). Every value is hexadecimal, with or
// without 0x: MODEL[/VERSION] as "5601/0203" or "0x5601/0x0203", the OUI as "00-A0-B1",
// "00:A0:B1", "00A0B1" or "0x00A0B1". "" when they read (`guard` filled; inactive when both are
// empty), else the usage message.
std::string parseHardwareGuard(const std::string& hardware, const std::string& oui,
                               HardwareGuard& guard);

// Why a box is not served.
enum class BoxRefusal {
    None,                 // served
    RequestNotIntact,     // no DownloadInfoRequest arrived whole and parsed in this attempt
    NoHardwareDescriptor, // the request has no type-1 descriptor
    UnreadableHardware,   // its type-1 descriptors are too short to read
    DisagreeingHardware,  // two type-1 descriptors name different hardware
    OtherHardware,        // the one it names is not the expected one
    NoImage,              // no entry of the release fits it
};

// `requestResult`: what receiving and parsing the request gave (0, or 1319 for a request
// without a type-1 descriptor, count as arrived whole); `identity`: its reading (requestSeen
// false when none was read).
BoxRefusal checkBox(const HardwareGuard& guard, int requestResult, const BoxIdentity& identity);

// What a guard and a release both ask of a box before they look at its hardware: its request
// arrived whole and it names one readable hardware (None), else why not.
BoxRefusal checkRequest(int requestResult, const BoxIdentity& identity);

// Under a release: the entry the box gets (`entry`), or why it gets none.
BoxRefusal checkReleaseBox(const release::Release& release, int requestResult,
                           const BoxIdentity& identity, int& entry);
// Why the box was not served under the release, as a record's reason: "no image of release R
// for model 0x5602 version 0x0100", or "it sent no hardware descriptor; release R; it was not
// served".
std::string describeReleaseRefusal(BoxRefusal refusal, const release::Release& release,
                                   int requestResult, const BoxIdentity& identity);

// "hardware model 0x5601 version 0x0203 OUI 0x00A0B1"
std::string describeGuard(const HardwareGuard& guard);
// Why the box was not served, as a record's reason: "its request never arrived intact (a frame
// failed 10 attempts, result 513); expected hardware model 0x5601; it was not served".
std::string describeRefusal(BoxRefusal refusal, const HardwareGuard& guard, int requestResult,
                            const BoxIdentity& identity);

} // namespace kestrune::station
