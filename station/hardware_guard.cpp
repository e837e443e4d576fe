#include "station/hardware_guard.h"

#include "common/result_codes.h"

#include <cstdio>

namespace kestrune::station {

namespace {

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
    if (!parseHexNumber(hardware.substr(0, slash), 0xFFFF, model) ||
        (slash != std::string::npos &&
         !parseHexNumber(hardware.substr(slash + 1), 0xFFFF, version))) {
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

BoxRefusal checkRequest(int requestResult, const BoxIdentity& identity) {
    if ((requestResult != LINK_OK && requestResult != DSMCC_ERR_COMPATIBILITY) ||
        !identity.requestSeen) {
        return BoxRefusal::RequestNotIntact;
    }
    if (identity.hardwareDescriptors == 0) {
        return BoxRefusal::NoHardwareDescriptor;
    }
    if (!identity.hardware.present) {
        return BoxRefusal::UnreadableHardware;
    }
    if (identity.hardwareDisagrees) {
        return BoxRefusal::DisagreeingHardware;
    }
    return BoxRefusal::None;
}

BoxRefusal checkReleaseBox(const release::Release& release, int requestResult,
                           const BoxIdentity& identity, int& entry) {
    entry = -1;
    if (const BoxRefusal refusal = checkRequest(requestResult, identity);
        refusal != BoxRefusal::None) {
        return refusal;
    }
    entry = release::findEntry(release, identity.hardware, identity.software);
    return entry < 0 ? BoxRefusal::NoImage : BoxRefusal::None;
}

BoxRefusal checkBox(const HardwareGuard& guard, int requestResult, const BoxIdentity& identity) {
    if (!guard.active) {
        return BoxRefusal::None;
    }
    if (const BoxRefusal refusal = checkRequest(requestResult, identity);
        refusal != BoxRefusal::None) {
        return refusal;
    }
    const SystemDescriptor& hw = identity.hardware;
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
    case BoxRefusal::NoImage:
        break;
    }
    return "the box is " + describeHardware(identity) + ", not the " + describeGuard(guard) +
           " expected; it was not served";
}

std::string describeReleaseRefusal(BoxRefusal refusal, const release::Release& release,
                                   int requestResult, const BoxIdentity& identity) {
    const std::string tail = "; release " + release.name + "; it was not served";
    switch (refusal) {
    case BoxRefusal::None:
        return "";
    case BoxRefusal::RequestNotIntact:
        return "its request never arrived intact" + requestFault(requestResult) + tail;
    case BoxRefusal::NoHardwareDescriptor:
        return "it sent no hardware descriptor" + tail;
    case BoxRefusal::UnreadableHardware:
        return "its hardware descriptor is too short to read" + tail;
    case BoxRefusal::DisagreeingHardware:
        return "it sent " + describeHardware(identity) + tail;
    case BoxRefusal::OtherHardware:
    case BoxRefusal::NoImage:
        break;
    }
    return release::describeNoEntry(release, identity.hardware, identity.software);
}

} // namespace kestrune::station
