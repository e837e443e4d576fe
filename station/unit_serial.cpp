#include "station/unit_serial.h"

#include <chrono>
#include <cstdio>

namespace kestrune::station {

std::string parseSerialSource(const std::string& text, SerialSource& source) {
    std::string type = text;
    SerialSource read;
    read.on = true;
    if (const size_t colon = text.find(':'); colon != std::string::npos) {
        type = text.substr(0, colon);
        const std::string how = text.substr(colon + 1);
        if (how == "hex") {
            read.hex = true;
        } else if (how != "ascii") {
            return "--serial-descriptor " + text + ": after the colon, ascii or hex";
        }
    }
    uint32_t value = 0;
    bool ok = !type.empty();
    if (ok && type.size() > 2 && type[0] == '0' && (type[1] == 'x' || type[1] == 'X')) {
        ok = parseHexNumber(type, 0xFF, value);
    } else {
        for (const char c : type) {
            ok = ok && c >= '0' && c <= '9' && value < 1000;
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
    }
    // The types below 0x40 and above 0x7F are the standard's own, not a place for a serial.
    if (!ok || value < 0x40 || value > 0x7F) {
        return "--serial-descriptor " + text +
               ": the type must be a user-defined one, 0x40 to 0x7F";
    }
    read.type = static_cast<uint8_t>(value);
    source = read;
    return "";
}

SerialReading readUnitSerial(const BoxIdentity& identity, const SerialSource& source,
                             std::string& serial) {
    serial.clear();
    for (uint32_t i = 0; i < identity.descriptorCount && i < BoxIdentity::MAX_DESCRIPTORS; ++i) {
        const BoxIdentity::Raw& raw = identity.descriptors[i];
        if (raw.type != source.type) {
            continue;
        }
        if (raw.length == 0 || raw.offset + raw.length > identity.byteCount) {
            return SerialReading::Empty;
        }
        const uint8_t* bytes = identity.bytes + raw.offset;
        if (raw.length * (source.hex ? 2u : 1u) > MAX_SERIAL) {
            return SerialReading::TooLong;
        }
        static constexpr char digits[] = "0123456789ABCDEF";
        for (uint16_t k = 0; k < raw.length; ++k) {
            const uint8_t c = bytes[k];
            if (source.hex) {
                serial += digits[c >> 4];
                serial += digits[c & 15];
            } else if (c < 0x21 || c > 0x7E) {
                serial.clear();
                return SerialReading::NotPrintable;
            } else {
                serial += static_cast<char>(c);
            }
        }
        return SerialReading::Found;
    }
    return SerialReading::Absent;
}

std::string describeSerialReading(SerialReading reading, const SerialSource& source) {
    char type[8];
    std::snprintf(type, sizeof type, "0x%02X", source.type);
    switch (reading) {
    case SerialReading::Found:
        return "";
    case SerialReading::Absent:
        return std::string("the box sent no serial (no descriptor ") + type + ")";
    case SerialReading::Empty:
        return std::string("the box's serial descriptor ") + type + " is empty";
    case SerialReading::TooLong:
        return std::string("the box's serial descriptor ") + type + " is longer than " +
               std::to_string(MAX_SERIAL) + " characters";
    case SerialReading::NotPrintable:
        return std::string("the box's serial descriptor ") + type +
               " holds bytes that are not printable; read it with :hex";
    }
    return "";
}

UnitCheck::Unit SlotUnits::check(const BoxIdentity& identity, const std::string* returning) {
    Unit unit;
    std::string fromBox;
    if (source_.on) {
        const SerialReading reading = readUnitSerial(identity, source_, fromBox);
        unit.note = describeSerialReading(reading, source_);
    }
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    std::string scanned;
    if (returning != nullptr) {
        scanned = *returning; // a retry keeps its scan: one bound since is the next unit's
    } else if (scans_ != nullptr) {
        const std::lock_guard<std::mutex> lock(scans_->mutex);
        scanned = scans_->binder.take(slot_, now);
    }
    unit.scan = scanned;
    if (!fromBox.empty() && !scanned.empty() && fromBox != scanned) {
        // The unit on the slot is not the unit that was scanned.
        unit.refusal = "the box says " + fromBox + ", the scan says " + scanned;
        if (returning == nullptr && scans_ != nullptr) {
            const std::lock_guard<std::mutex> lock(scans_->mutex);
            scans_->binder.refused(slot_, scanned, now);
        }
        return unit;
    }
    unit.serial = !fromBox.empty() ? fromBox : scanned;
    unit.from = !fromBox.empty() ? "box" : !scanned.empty() ? "scan" : "";
    return unit;
}

} // namespace kestrune::station
