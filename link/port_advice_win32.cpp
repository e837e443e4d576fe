#include "link/port_advice.h"

namespace kestrune {

std::string permissionAdvice(const std::string& device) {
    // Windows refuses a COM port that another program holds with "access denied".
    return device + " is in use by another program (a terminal, another Kestrune): close it, "
                    "or pick another port ('kestrune-cli ports' lists them)";
}

std::string missingPortAdvice(const std::string& name) {
    if (name.rfind("/dev/", 0) == 0) {
        return name + " is a Linux name: on Windows serial ports are COM1, COM2, ... (under "
                      "Wine each COM port is mapped to a Linux device in the prefix); "
                      "'kestrune-cli ports' lists them";
    }
    return "no such port " + name +
           "; 'kestrune-cli ports' lists the serial ports of this machine (Device Manager shows "
           "which COM number a USB adapter got)";
}

} // namespace kestrune
