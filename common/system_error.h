#pragma once

// The platform's own words for a system error: strerror for an errno on POSIX, FormatMessage for
// a GetLastError code on Windows (without its closing full stop), so that every message that
// names a failed call reads the same.

#include <string>

namespace kestrune {

std::string systemErrorText(int code);
// The last error of the calling thread: errno on POSIX, GetLastError() on Windows.
int lastSystemError();

} // namespace kestrune
