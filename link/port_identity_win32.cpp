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
