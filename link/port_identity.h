#pragma once

// Which device a port name leads to, so that one device given under two names (a symbolic
// link, /dev/serial/by-id/..., "com3" and "\\.\COM3") is seen as one.

#include <cstdint>
#include <string>

namespace kestrune {

// A key that is equal for two names of the same device: on POSIX the device number of what the
// name leads to (links followed; "COM1" is /dev/ttyS0), on Windows the name without its "\\.\"
// prefix, in capitals. A name that leads nowhere keys as itself.
std::string portIdentity(const std::string& port);

// What a port name leads to now, for telling whether a port that went away came back as the
// same device: a re-plugged adapter or a pseudo-terminal can get the name of another.
struct PortDevice {
    std::string key;       // portIdentity
    std::string byId;      // a /dev/serial/by-id name that leads to it ("" when none)
    std::string usbSerial; // its USB adapter's serial number ("" when none is known)
    // When its device node was made (POSIX, 0 when unknown): a node made again is another
    // device, unless its USB serial number says it is the same adapter.
    int64_t madeNs = 0;
};
PortDevice portDevice(const std::string& port);
// Whether `now` is the device that `before` was.
bool sameDevice(const PortDevice& before, const PortDevice& now);
// "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9M9DV3R-if00-port0, USB serial A9M9DV3R", or
// "no by-id name, no USB serial number" for a port without them.
std::string describeDevice(const PortDevice& device);

} // namespace kestrune
