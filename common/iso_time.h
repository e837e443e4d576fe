#pragma once

// Moments in UTC as ISO 8601 writes them, the same on every platform (no gmtime: <chrono>'s
// calendar).

#include <chrono>
#include <string>

namespace kestrune {

// "2026-12-07T19:44:17.123Z".
std::string isoTime(std::chrono::sys_time<std::chrono::milliseconds> when);
inline std::string isoTime(std::chrono::system_clock::time_point when) {
    return isoTime(std::chrono::floor<std::chrono::milliseconds>(when));
}
// "20261207T194417Z": the basic form to the second, for file names.
std::string fileTime(std::chrono::system_clock::time_point when);

} // namespace kestrune
