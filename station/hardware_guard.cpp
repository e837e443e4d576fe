#include "station/hardware_guard.h"

#include "common/result_codes.h"

#include <cstdio>

namespace kestrune::station {

namespace {

// Hexadecimal digits, with or without 0x, of at most `max`.
bool parseHex(const std::string& text, uint32_t max, uint32_t& value) {
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
        return parseHex(text, 0xFFFFFF, value);
    }
    if (text.size() != 8 || text[2] != text[5] || (text[2] != '-' && text[2] != ':')) {
        return false;
    }
    return parseHex(text.substr(0, 2) + text.substr(3, 2) + text.substr(6, 2), 0xFFFFFF, value);
}

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// What became of a request that did not arrive whole.
std::string requestFault(int code) {
    switch (code) {
    case LINK_OK:
    case DSMCC_ERR_COMPATIBILITY:
        return "";
    case LINK_ERR_IO:
        return " (nothing arrived within the time-out, result 512)";
    case LINK_ERR_RETRIES:
        return " (a frame failed 10 attempts, result 513)";
    default:
        return " (it is malformed, result " + std::to_string(code) + ")";
    }
}

} // namespace

std::string parseHardwareGuard(const std::string& hardware, const std::string& oui,
                               HardwareGuard& guard) {
    guard = {};
    if (hardware.empty()) {
        return oui.empty() ? "" : "--expect-oui needs --expect-hardware";
    }
    const size_t slash = hardware.find('/');
    uint32_t model = 0;
    uint32_t version = 0;
    if (!parseHex(hardware.substr(0, slash), 0xFFFF, model) ||
        (slash != std::string::npos && !parseHex(hardware.substr(slash + 1), 0xFFFF, version))) {
        return "--expect-hardware needs MODEL or MODEL/VERSION in hexadecimal (5601/0203 or "
               "0x5601/0x0203, at most FFFF each), not " +
               hardware;
    }
    guard.active = true;
    guard.model = static_cast<uint16_t>(model);
    guard.checkVersion = slash != std::string::npos;
    guard.version = static_cast<uint16_t>(version);
    if (!oui.empty()) {
        uint32_t value = 0;
        if (!parseOui(oui, value)) {
            return "--expect-oui needs an OUI in hexadecimal (00-A0-B1, 00A0B1 or 0x00A0B1), not " +
                   oui;
        }
        guard.checkOui = true;
        guard.oui = value;
    }
    return "";
}

BoxRefusal checkBox(const HardwareGuard& guard, int requestResult, const BoxIdentity& identity) {
    if (!guard.active) {
        return BoxRefusal::None;
    }
    if ((requestResult != LINK_OK && requestResult != DSMCC_ERR_COMPATIBILITY) ||
        !identity.requestSeen) {
        return BoxRefusal::RequestNotIntact;
    }
    const SystemDescriptor& hw = identity.hardware;
    if (identity.hardwareDescriptors == 0) {
        return BoxRefusal::NoHardwareDescriptor;
    }
    if (!hw.present) {
        return BoxRefusal::UnreadableHardware;
    }
    if (identity.hardwareDisagrees) {
        return BoxRefusal::DisagreeingHardware;
    }
    const bool matches = hw.model == guard.model &&
                         (!guard.checkVersion || hw.version == guard.version) &&
                         (!guard.checkOui || (hw.hasOui() && hw.specifierData == guard.oui));
    return matches ? BoxRefusal::None : BoxRefusal::OtherHardware;
}

std::string describeGuard(const HardwareGuard& guard) {
    std::string out = "hardware model " + hex4(guard.model);
    if (guard.checkVersion) {
        out += " version " + hex4(guard.version);
    }
    if (guard.checkOui) {
        out += " OUI " + formatOui(guard.oui);
    }
    return out;
}

std::string describeRefusal(BoxRefusal refusal, const HardwareGuard& guard, int requestResult,
                            const BoxIdentity& identity) {
    const std::string expected = "; expected " + describeGuard(guard) + "; it was not served";
    switch (refusal) {
    case BoxRefusal::None:
        return "";
    case BoxRefusal::RequestNotIntact:
        return "its request never arrived intact" + requestFault(requestResult) + expected;
    case BoxRefusal::NoHardwareDescriptor:
        return "it sent no hardware descriptor" + expected;
    case BoxRefusal::UnreadableHardware:
        return "its hardware descriptor is too short to read" + expected;
    case BoxRefusal::DisagreeingHardware:
        return "it sent " + describeHardware(identity) + expected;
    case BoxRefusal::OtherHardware:
        break;
    }
    return "the box is " + describeHardware(identity) + ", not the " + describeGuard(guard) +
           " expected; it was not served";
}

} // namespace kestrune::station
