#pragma once

// Log lines of the session, formatted into stack buffers without the C runtime (no locale, no
// lock, no allocation): the session thread may be terminated anywhere.

#include "link/progress_reporter.h"

#include <charconv>
#include <cstdint>

namespace kestrune {

// Appends `prefix`, the decimal value and `suffix` to the Test Log as one piece.
inline void logNumber(ProgressReporter& reporter, const char* prefix, int64_t value,
                      const char* suffix) {
    char line[96];
    uint32_t used = 0;
    for (const char* p = prefix; *p != '\0' && used < 40; ++p) {
        line[used++] = *p;
    }
    auto [end, ec] = std::to_chars(line + used, line + used + 24, value);
    used = ec == std::errc() ? static_cast<uint32_t>(end - line) : used;
    for (const char* p = suffix; *p != '\0' && used + 1 < sizeof line; ++p) {
        line[used++] = *p;
    }
    line[used] = '\0';
    reporter.logText(line);
}

} // namespace kestrune
