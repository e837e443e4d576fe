#include "link/port_identity.h"

#include <cctype>

namespace kestrune {

std::string portIdentity(const std::string& port) {
    std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return "name:" + name;
}

} // namespace kestrune

namespace kestrune {

// Windows keeps a COM name with its device: the name is all there is to compare.
PortDevice portDevice(const std::string& port) {
    PortDevice device;
    device.key = portIdentity(port);
    return device;
}

} // namespace kestrune
