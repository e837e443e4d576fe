#include "common/iso_time.h"

#include <cstdio>

namespace kestrune {
namespace {

struct Parts {
    std::chrono::year_month_day date;
    std::chrono::hh_mm_ss<std::chrono::milliseconds> time;
};

Parts partsOf(std::chrono::sys_time<std::chrono::milliseconds> when) {
    const auto day = std::chrono::floor<std::chrono::days>(when);
    return {std::chrono::year_month_day(day), std::chrono::hh_mm_ss(when - day)};
}

} // namespace

std::string isoTime(std::chrono::sys_time<std::chrono::milliseconds> when) {
    const Parts p = partsOf(when);
    char text[64];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(p.date.year()),
        static_cast<unsigned>(p.date.month()), static_cast<unsigned>(p.date.day()),
        static_cast<int>(p.time.hours().count()), static_cast<int>(p.time.minutes().count()),
        static_cast<int>(p.time.seconds().count()), static_cast<int>(p.time.subseconds().count()));
    return text;
}

std::string fileTime(std::chrono::system_clock::time_point when) {
    const Parts p = partsOf(std::chrono::floor<std::chrono::milliseconds>(when));
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(p.date.year()),
                  static_cast<unsigned>(p.date.month()), static_cast<unsigned>(p.date.day()),
                  static_cast<int>(p.time.hours().count()),
                  static_cast<int>(p.time.minutes().count()),
                  static_cast<int>(p.time.seconds().count()));
    return text;
}

} // namespace kestrune
