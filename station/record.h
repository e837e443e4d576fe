#pragma once

// The station's record: one JSON object per line (JSON Lines) for every download attempt. A
// line is either whole in the file or absent: it is written until done and flushed to disk
// before the port serves its next box, a failed or short write is cut back off, and a tail torn
// by an earlier crash is ended with a line feed before the first new line, so that no new line
// is ever glued to it.

#include "common/iso_time.h"
#include "common/system_error.h"
#include "release/release_load.h"
#include "station/attempt_runner.h"
#include "station/port_health.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace kestrune::station {

// The record's times and the file names' (common/iso_time.h).
using kestrune::fileTime;
using kestrune::isoTime;

using release::ImageFacts;
using release::ReleaseFacts;

// Who and where: the station's name (the host's by default), the lot, the operator and the work
// order the line is flashing for ("" for none given).
struct Provenance {
    std::string station;
    std::string lot;
    std::string operatorName;
    std::string workOrder;
};
// "station line-7, lot L-42, work order WO-9, operator ann": what the station shows of it.
std::string describeProvenance(const Provenance& provenance);

// Where an attempt stands among the attempts of its box and the failures of its port.
struct AttemptPlace {
    uint32_t attempt = 1;       // 1, 2, ... for the attempts of one box
    std::string boxSession;     // the same for every attempt of one box
    uint32_t failuresInRow = 0; // the port's, after this attempt
    // The port's link quality with this attempt in it (none when no box woke).
    bool healthKnown = false;
    PortHealth health{};
    bool lineWorsened = false;
    std::string attemptId{}; // a UUID of its own (station/attempt_id.h)
    Provenance provenance{};
    std::string unitSerial{};     // "" when the unit's serial is not known
    std::string unitSerialFrom{}; // "box" or "scan"
    std::string slot{};           // the port's slot name, "" when it has none
    std::string device{};         // the device the port is
};

// The record line of one attempt, newline included: valid JSON in UTF-8 whatever the bytes of
// the paths (a byte that is not UTF-8 becomes U+FFFD, and the image path's own bytes are then
// kept in `imagePathHex`). `testLog` and `capture` are the files written for it ("" for none).
// Under a release (`release`), `image` is the entry's image the box got, or an empty path for a
// box that got none (then the image's fields are null).
std::string recordLine(const AttemptReport& report, const std::string& port,
                       const ImageFacts& image, const std::string& testLog,
                       const std::string& capture, const AttemptPlace& place = {},
                       const ReleaseFacts* release = nullptr);

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens `path` for appending (created when missing) and ends a torn last line. No error,
    // or the C runtime's.
    CrtError open(const std::string& path);
    // Writes the whole line and flushes it to disk; on any failure the file is cut back to its
    // length before the line. No error, or the C runtime's of the call that failed. Safe from
    // several threads.
    CrtError append(const std::string& line);
    // Opens `path` again (logrotate has renamed the file) and writes on there from the next
    // line; a line being written ends in the old file first. The old file stays on failure.
    CrtError reopen(const std::string& path);

private:
    std::mutex mutex_;
    int fd_ = -1;
};

} // namespace kestrune::station
