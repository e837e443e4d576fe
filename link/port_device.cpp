#include "link/port_identity.h"

namespace kestrune {

bool sameDevice(const PortDevice& before, const PortDevice& now) {
    if (before.key != now.key) {
        return false;
    }
    // An adapter re-plugged gets a new node but keeps its serial number.
    if (!before.usbSerial.empty() || !now.usbSerial.empty()) {
        return before.usbSerial == now.usbSerial && before.byId == now.byId;
    }
    return before.madeNs == now.madeNs;
}

std::string describeDevice(const PortDevice& device) {
    std::string text = device.byId.empty() ? "no by-id name" : device.byId;
    text +=
        device.usbSerial.empty() ? ", no USB serial number" : ", USB serial " + device.usbSerial;
    return text;
}

} // namespace kestrune
