#pragma once

// Which device a port name leads to, so that one device given under two names (a symbolic
// link, /dev/serial/by-id/..., "com3" and "\\.\COM3") is seen as one.

#include <string>

namespace kestrune {

// A key that is equal for two names of the same device: on POSIX the device number of what the
// name leads to (links followed; "COM1" is /dev/ttyS0), on Windows the name without its "\\.\"
// prefix, in capitals. A name that leads nowhere keys as itself.
std::string portIdentity(const std::string& port);

} // namespace kestrune
