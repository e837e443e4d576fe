#pragma once

// The platform's own words for a failed call. Two kinds of error number exist on Windows, and
// they overlap (13 is "Permission denied" as a C runtime errno, "The data is invalid" as a Win32
// code), so each has a type of its own and its own function:
//   - CrtError: an errno left by the C runtime (fopen, _open, _write, fclose...), on every
//     platform; strerror's words.
//   - Win32Error: a Windows system error code (GetLastError, WSAGetLastError); FormatMessage's
//     words, without the closing full stop. Windows only.
// SystemError is the platform's own kind for its system calls (serial ports, sockets, file
// mappings): a CrtError on POSIX, a Win32Error on Windows.

#include <string>

namespace kestrune {

struct CrtError {
    int code = 0;
    explicit operator bool() const { return code != 0; }
    bool operator==(const CrtError&) const = default;
};

struct Win32Error {
    unsigned long code = 0;
    explicit operator bool() const { return code != 0; }
    bool operator==(const Win32Error&) const = default;
};

#ifdef _WIN32
using SystemError = Win32Error;
#else
using SystemError = CrtError;
#endif

std::string systemErrorText(CrtError error);
std::string systemErrorText(Win32Error error);

// The errno of the calling thread, as it is now (EIO when a call failed without setting it).
CrtError lastCrtError();
// The last system error of the calling thread: errno on POSIX, GetLastError() on Windows.
SystemError lastSystemError();

} // namespace kestrune
