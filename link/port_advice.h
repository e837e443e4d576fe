#pragma once

// What to tell an operator whose serial port cannot be opened, in the same words from every
// program (kestrune-cli, and kestrune-window through `kestrune-cli ports --advise`). One
// implementation per platform: port_advice_posix.cpp, port_advice_win32.cpp. For the failure
// paths only: the sentences are built with allocation.

#include <string>

namespace kestrune {

// Why this user may not open `device` for reading and writing, and what would let them: one
// sentence without a final full stop. On Linux it names the device's group when that is a
// serial-device group (dialout, uucp) and says how to join it; otherwise it says who alone can
// open it and shows the udev rule that gives the device to dialout. It never advises joining
// any other group.
std::string permissionAdvice(const std::string& device);

// What to say about a port name that does not exist: where the ports are listed
// (`kestrune-cli ports`), and for a name of the other platform (COM3 on Linux, /dev/ttyS0 on
// Windows) how ports are named here. One sentence without a final full stop.
std::string missingPortAdvice(const std::string& name);

} // namespace kestrune
