#pragma once

// The station's loop for one port: waiting for a box (no watchdog) -> the wake-up byte -> the
// download -> its outcome, recorded -> settling until the line has been silent for a while (a
// box that restarts after its download is not flashed again) -> waiting. A port that fails is
// recorded once and tried again every few seconds. The first stop ends waiting, settling and
// the retry pause within a second and lets a download finish; an abort ends the download too.

#include "station/attempt_runner.h"
#include "station/port_health.h"
#include "station/port_status.h"
#include "station/record.h"
#include "station/stop.h"
#include "station/unit_serial.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::station {

// What the station tells its front end: a line about one port ("" for the station).
class StationEvents {
public:
    virtual ~StationEvents() = default;
    virtual void event(const std::string& port, const std::string& text) = 0;
    // An attempt has ended: one call for each record line (whether or not there is a record),
    // on the port's thread, just before the line is written.
    virtual void attemptEnded(const PortStatus&, const AttemptReport&, const AttemptPlace&) {}
};

struct StationConfig {
    ImageFacts image; // without a release
    // With one: its facts and each entry's image (the record names the one a box got).
    bool hasRelease = false;
    ReleaseFacts release;
    std::vector<ImageFacts> images;
    std::string logDir;  // a Test Log per download here, when not empty
    std::string pcapDir; // a capture per download here, when not empty
    double settleSeconds = 3;
    uint32_t retryMs = 3000; // between tries of a port that failed
    RecordFile* record = nullptr;
    uint32_t retries = 0;      // a failed box that wakes again is served up to this many times more
    uint32_t suspectAfter = 3; // failures in a row that make a port a suspect
    // Settling this long without a silent moment: a box keeps waking, and the operator is told.
    double keepsWakingSeconds = 30;
    HealthThresholds health;
    Provenance provenance; // into every line
    SerialSource serial;   // where a box carries its serial, if it does
};

// The line's health, shared by its ports: each port's downloads go in on its own thread, and
// every port's marks come out, into the ports' statuses and the events.
class HealthBoard {
public:
    HealthBoard(const std::vector<PortStatus*>& ports, const HealthThresholds& thresholds);
    // The download of `report` ended on `status`'s port: the place gets the port's health with
    // it; the ports whose marks changed, and the line, are told in `events`.
    void add(PortStatus& status, const AttemptReport& report, AttemptPlace& place,
             StationEvents& events);
    bool lineWorsened() const { return lineWorsened_.load(); }
    // A port added at a reload: its downloads count from now on.
    void addPort(PortStatus& status);

private:
    std::mutex mutex_;
    std::vector<PortStatus*> ports_;
    LineHealth health_;
    std::atomic<bool> lineWorsened_{false};
};

// Shared by the ports of one station.
struct StationShared {
    const StationConfig& config;
    StationEvents& events;
    const StopSignal& stop;
    // A record line, a Test Log or a capture could not be written.
    std::atomic<bool> outputFailed{false};
    HealthBoard* health = nullptr; // none: no figures kept
};

// Serves the port until the station stops; the status ends as Stopped.
// `settleFirst`: the port served a box with other settings until now, and its line must be
// silent before it takes the next one.
void servePort(StationShared& station, PortRunner& runner, PortStatus& status,
               bool settleFirst = false);

// The file name in `dir` for this port and moment, without its extension:
// "DIR/ttyUSB0-20261207T202431Z" (capture/new_file.h adds "-2"... when it is taken).
std::string fileStem(const std::string& dir, const std::string& port);

} // namespace kestrune::station
