#pragma once

// Log lines of the session, formatted into stack buffers without the C runtime (no locale, no
// lock, no allocation): the session thread may be terminated anywhere.

#include "session/progress_reporter.h"

#include <charconv>
#include <cstdint>

namespace kestrune {

// `prefix`, the decimal value and `suffix`, NUL-terminated, in `line`.
inline void formatNumberLine(char (&line)[96], const char* prefix, int64_t value,
                             const char* suffix) {
    uint32_t used = 0;
    for (const char* p = prefix; *p != '\0' && used < 64; ++p) {
        line[used++] = *p;
    }
    auto [end, ec] = std::to_chars(line + used, line + used + 24, value);
    used = ec == std::errc() ? static_cast<uint32_t>(end - line) : used;
    for (const char* p = suffix; *p != '\0' && used + 1 < sizeof line; ++p) {
        line[used++] = *p;
    }
    line[used] = '\0';
}

// Appends `prefix`, the decimal value and `suffix` to the Test Log as one piece.
inline void logNumber(ProgressReporter& reporter, const char* prefix, int64_t value,
                      const char* suffix) {
    char line[96];
    formatNumberLine(line, prefix, value, suffix);
    reporter.logText(line);
}

// The same as a note for the command line's Test Log file alone.
inline void noteNumber(ProgressReporter& reporter, const char* prefix, int64_t value,
                       const char* suffix) {
    char line[96];
    formatNumberLine(line, prefix, value, suffix);
    reporter.logNote(line);
}

} // namespace kestrune
