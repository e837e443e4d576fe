#pragma once

// The unit's own serial, as a box may carry it in a compatibility descriptor of a type that
// ISO/IEC 13818-6 leaves to the user (0x40-0x7F): which type to read and how (--serial-descriptor
// TYPE[:ascii|hex]), and the reading of it from what the box sent.

#include "dsmcc/identity.h"
#include "station/attempt_runner.h"
#include "station/scan_binder.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrune::station {

using kestrune::BoxIdentity;

struct SerialSource {
    bool on = false;
    uint8_t type = 0x40;
    bool hex = false; // the bytes as hexadecimal digits; otherwise printable ASCII as it is
};

// The longest serial kept, in characters (hex: 32 bytes).
constexpr size_t MAX_SERIAL = 64;

// "0x40", "64", "0x41:hex", "0x42:ascii": "" when it reads, else what is wrong.
std::string parseSerialSource(const std::string& text, SerialSource& source);

enum class SerialReading {
    Found,
    Absent,       // no descriptor of the type
    Empty,        // one without bytes
    TooLong,      // more than MAX_SERIAL characters
    NotPrintable, // ascii: a byte outside 0x21-0x7E
};

// The serial in the first descriptor of `source.type` the box sent.
SerialReading readUnitSerial(const BoxIdentity& identity, const SerialSource& source,
                             std::string& serial);

// "no descriptor 0x40", "descriptor 0x40 is empty", ...: for the operator.
std::string describeSerialReading(SerialReading reading, const SerialSource& source);

// One port's check of its boxes: the serial from the box's descriptor, the one scanned for its
// slot, and a box not served when the two disagree.
class SlotUnits final : public UnitCheck {
public:
    SlotUnits(std::string slot, const SerialSource& source, ScanBoard* scans)
        : slot_(std::move(slot)), source_(source), scans_(scans) {}
    Unit check(const BoxIdentity& identity, const std::string* returning) override;

private:
    const std::string slot_;
    const SerialSource source_;
    ScanBoard* const scans_;
};

} // namespace kestrune::station
