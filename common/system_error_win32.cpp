#include "common/system_error.h"

#include <cstring>
#include <windows.h>

namespace kestrune {

std::string systemErrorText(CrtError error) {
    char text[256];
    if (strerror_s(text, sizeof text, error.code) != 0) {
        return "error " + std::to_string(error.code);
    }
    return text;
}

std::string systemErrorText(Win32Error error) {
    char text[512];
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error.code), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    if (length == 0) {
        return "error " + std::to_string(error.code);
    }
    return std::string(text, length);
}

SystemError lastSystemError() {
    return Win32Error{GetLastError()};
}

} // namespace kestrune
