#include "link/system_serial_port.h"

namespace kestrune {

const char* describePortOpenError(PortOpenError failure) {
    switch (failure) {
    case PortOpenError::None:
        return "no failure";
    case PortOpenError::NotFound:
        return "not found";
    case PortOpenError::PermissionDenied:
        return "permission denied";
    case PortOpenError::Busy:
        return "busy";
    case PortOpenError::NotSerialPort:
        return "not a serial port";
    case PortOpenError::Settings:
        return "line settings refused";
    case PortOpenError::Other:
        break;
    }
    return "cannot be opened";
}

} // namespace kestrune
