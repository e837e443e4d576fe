#pragma once

// One line of a station's record, as the report needs it: the few fields it counts by, read
// with nlohmann-json's SAX parser (the rest of the line, the box's descriptors among it, is
// checked but not kept). A line that is not one whole JSON object with a start, a port and a
// known outcome is not a record line: the report skips it and counts it.

#include "station/verdict.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kestrune::report {

// The record's outcomes and their words ("complete", "download error", ...) are the station's.
using station::Outcome;
using station::OUTCOME_COUNT;
inline const char* outcomeWord(Outcome outcome) {
    return station::outcomeName(outcome);
}

// The longest attempt a record line can hold: the top of the report's histogram of download
// times (11 days). A line whose duration, or whose end after its start, is longer (or not a
// number at all) is not a record line: no download takes that long, and every figure the report
// derives from it stays in range.
constexpr double MAX_ATTEMPT_SECONDS = 11 * 86400.0;

struct RecordLine {
    int64_t startMs = 0; // milliseconds since 1970-01-01T00:00:00Z
    int64_t endMs = 0;
    bool hasEnd = false;
    std::string port;
    std::string boxSession; // "" when null or absent (a port failure while no box was there)
    uint32_t attempt = 1;
    uint32_t failuresInRow = 0;
    std::string image;
    std::string imageSha256;
    uint64_t imageSize = 0;
    // The release it was served from (its `release` object): "" for none.
    std::string releaseName;
    std::string releaseSha256;
    Outcome outcome = Outcome::Complete;
    std::string reason; // "" when null
    // Who and where, and which unit ("" when null or absent: records from before them).
    std::string attemptId;
    std::string station;
    std::string lot;
    std::string operatorName;
    std::string workOrder;
    std::string unitSerial;
    std::string unitSerialFrom;
    double durationSeconds = 0;
    bool hasDuration = false;
    // What the causes of failure are told from (0 when null or absent).
    uint64_t deliveredBytes = 0;
    uint32_t framesResent = 0;
    uint32_t naks = 0;
    bool stoppedInBlock = false; // a failed download stopped at this module's block
    uint32_t stoppedModule = 0;
    uint32_t stoppedBlock = 0;

    // The attempt's length: durationSeconds, else from start to end.
    double seconds() const;
};

// Reads `text` (one line, without its line feed) into `line`; false when it is not a record
// line. `line`'s strings keep their capacity from one line to the next.
bool parseRecordLine(std::string_view text, RecordLine& line);

// "2026-12-07T20:24:31.380Z", "2026-12-07T20:24:31Z", "2026-12-07T21:24+01:00",
// "2026-12-07 20:24:31", "2026-12-07": ISO 8601 as milliseconds since 1970. A time without a
// zone is read as if it were UTC (the record's times all have one); `zoned` tells whether it had
// one, so that a caller can take it as local time. `dateOnly` tells a plain date. False when
// `text` is none.
bool parseTime(std::string_view text, int64_t& ms, bool* dateOnly = nullptr, bool* zoned = nullptr);
// The fields of `tm` (year, month, day, hour, minute, second) as milliseconds since 1970, as if
// they were UTC.
int64_t civilMs(const std::tm& tm);
// The record's own form, "2026-12-07T20:24:31.380Z".
std::string formatTime(int64_t ms);

} // namespace kestrune::report
