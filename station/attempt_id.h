#pragma once

// Names for a record line and for a box that no other station, and no restart of this one, can
// also give: UUIDs of version 7 (RFC 9562), which sort by the time they were made.

#include <cstdint>
#include <string>

namespace kestrune::station {

// The UUID of `unixMs` (milliseconds since 1970) and 10 random bytes, of which 74 bits are used:
// "0190a1b2-c3d4-7e5f-8a6b-7c8d9e0f1a2b".
std::string uuidV7(uint64_t unixMs, const uint8_t random[10]);

// A new one: now, with random bits from the system's source (libsodium's randombytes).
std::string newUuid();

} // namespace kestrune::station
