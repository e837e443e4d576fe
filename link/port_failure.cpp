#include "link/system_serial_port.h"

namespace kestrune {

const char* describePortFailure(PortFailure failure) {
    switch (failure) {
    case PortFailure::None:
        return "no failure";
    case PortFailure::NotFound:
        return "not found";
    case PortFailure::PermissionDenied:
        return "permission denied";
    case PortFailure::Busy:
        return "busy";
    case PortFailure::NotSerialPort:
        return "not a serial port";
    case PortFailure::Settings:
        return "line settings refused";
    case PortFailure::Other:
        break;
    }
    return "cannot be opened";
}

} // namespace kestrune
