#include "station/station_loop.h"

#include "capture/pcap_writer.h"
#include "capture/test_log.h"
#include "common/system_error.h"
#include "common/text.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kestrune::station {
namespace {

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// "/dev/ttyUSB0" -> "ttyUSB0", "\\.\COM12" -> "COM12", "/dev/serial/by-id/x" -> "serial_by-id_x".
std::string fileNameOf(const std::string& port) {
    std::string name = port;
    for (const char* prefix : {"/dev/", "\\\\.\\"}) {
        if (name.rfind(prefix, 0) == 0) {
            name = name.substr(std::strlen(prefix));
        }
    }
    for (char& c : name) {
        if (c == '/' || c == '\\' || c == ':') {
            c = '_';
        }
    }
    return name;
}

// One download as the station sees it: the port's figures, the Test Log and the capture.
class StationObserver final : public AttemptObserver {
public:
    StationObserver(StationShared& station, PortStatus& status)
        : station_(station), status_(status) {}
    ~StationObserver() override { closeFiles(); }

    void waitingForBox() override { status_.state = PortState::Waiting; }
    void sessionStarted() override {
        status_.acknowledgedBytes = 0;
        status_.startedMs = steadyMs();
        status_.boxHardware = 0;
        status_.state = PortState::Downloading;
        const StationConfig& config = station_.config;
        if (!config.logDir.empty()) {
            const std::string path = uniquePath(config.logDir, status_.port, ".log");
            if (const int error = log_.create(path); error != 0) {
                cannotWrite(path, error);
            } else {
                logPath_ = path;
            }
        }
        if (!config.pcapDir.empty()) {
            const std::string path = uniquePath(config.pcapDir, status_.port, ".pcap");
            if (!capture_.open(path)) {
                cannotWrite(path, lastSystemError());
            } else {
                capturePath_ = path;
            }
        }
        station_.events.event(status_.port, "a box woke up; downloading");
    }
    void boxIdentified(const BoxIdentity& identity) override {
        const SystemDescriptor& hw = identity.hardware;
        status_.boxHardware = hw.present
                                  ? PortStatus::BOX_HARDWARE | uint64_t(hw.model) << 16 | hw.version
                                  : PortStatus::BOX_NO_HARDWARE;
        station_.events.event(status_.port, "box: " + describeIdentity(identity));
    }
    void progressStarted(uint64_t moduleBytes) override { status_.totalBytes = moduleBytes; }
    void progress(uint64_t acknowledged) override { status_.acknowledgedBytes = acknowledged; }
    void logText(const char* text) override { log_.write(text); }
    FrameTap* frameTap() override { return capture_.isOpen() ? &capture_ : nullptr; }
    void sessionEnded() override { closeFiles(); }

    const std::string& logPath() const { return logPath_; }
    const std::string& capturePath() const { return capturePath_; }

private:
    void cannotWrite(const std::string& path, int error) {
        station_.outputFailed = true;
        station_.events.event(status_.port, "cannot write " + path + ": " + systemErrorText(error));
    }
    void closeFiles() {
        if (log_.isOpen()) {
            if (const int error = log_.close(); error != 0) {
                cannotWrite(logPath_, error);
            }
        }
        if (capture_.isOpen()) {
            capture_.close();
            if (capture_.writeError() != 0) {
                cannotWrite(capturePath_, capture_.writeError());
            }
        }
    }

    StationShared& station_;
    PortStatus& status_;
    capture::TestLogFile log_;
    std::string logPath_;
    capture::PcapWriter capture_;
    std::string capturePath_;
};

void record(StationShared& station, PortStatus& status, const AttemptReport& report,
            const StationObserver& observer, const AttemptPlace& place) {
    station.events.attemptEnded(status, report, place);
    if (station.config.record == nullptr) {
        return;
    }
    const int error = station.config.record->append(
        recordLine(report, status.port, station.config.image, observer.logPath(),
                   observer.capturePath(), place));
    if (error != 0) {
        station.outputFailed = true;
        station.events.event(status.port, "cannot write the record: " + systemErrorText(error) +
                                              "; this attempt is not in it");
    }
}

void announce(StationShared& station, PortStatus& status, const AttemptReport& report) {
    const double seconds = std::chrono::duration<double>(report.ended - report.started).count();
    char took[48];
    std::snprintf(took, sizeof took, " in %.1f s", seconds);
    switch (report.outcome) {
    case Outcome::Complete:
        station.events.event(status.port, "complete: " + groupDigits(report.moduleBytes) +
                                              " module bytes" + took);
        return;
    case Outcome::Aborted:
        station.events.event(status.port, "aborted: " + report.reason);
        return;
    default:
        break;
    }
    station.events.event(status.port,
                         std::string(outcomeName(report.outcome)) + ": " + report.reason +
                             (report.resultCode != 0 || !report.sessionRan ? "" : " (result 0)"));
}

// A box is counted once, by the last of its attempts.
void countBox(PortStatus& status, Outcome outcome) {
    switch (outcome) {
    case Outcome::Complete:
        status.done += 1;
        break;
    case Outcome::Aborted:
        status.aborted += 1;
        break;
    case Outcome::PortFailure:
        status.portFailures += 1;
        status.portFailureBoxes += 1; // a box was on the port: a box of the yield
        break;
    case Outcome::WrongBox:
        status.wrongBoxes += 1;
        break;
    case Outcome::DownloadError:
    case Outcome::NotResponding:
        status.failed += 1;
        break;
    }
}

// The port's failures in a row after an attempt, and the words when they make it a suspect.
uint32_t noteFailures(StationShared& station, PortStatus& status, Outcome outcome) {
    const uint32_t before = status.failuresInRow.load();
    const uint32_t now = failuresInRowAfter(before, outcome);
    status.failuresInRow = now;
    if (now == 0) {
        status.suspect = false;
    } else if (now >= station.config.suspectAfter && before < station.config.suspectAfter) {
        status.suspect = true;
        station.events.event(status.port, std::to_string(now) + " failures in a row on " +
                                              status.port + ": check its cable and adapter");
    }
    return now;
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

} // namespace

std::string uniquePath(const std::string& dir, const std::string& port, const char* extension) {
    const std::string stem = (std::filesystem::path(dir) / fileNameOf(port)).string() + "-" +
                             fileTime(std::chrono::system_clock::now());
    std::string path = stem + extension;
    std::error_code ignored;
    for (int n = 2; std::filesystem::exists(path, ignored); ++n) {
        path = stem + "-" + std::to_string(n) + extension;
    }
    return path;
}

void servePort(StationShared& station, PortRunner& runner, PortStatus& status) {
    const StopSignal& stop = station.stop;
    const StationConfig& config = station.config;
    const std::string retry =
        "; trying again every " + std::to_string(config.retryMs / 1000) + " s";
    const auto settleMs = static_cast<uint32_t>(config.settleSeconds * 1000);
    const std::string sessionStem = status.port + "-" + fileTime(std::chrono::system_clock::now());
    uint32_t boxes = 0;
    AttemptPlace place;
    bool retrying = false;
    bool portDown = false;
    while (!stop.stopping()) {
        if (portDown) {
            if (!stop.sleepFor(static_cast<int>(config.retryMs))) {
                break;
            }
            PortOpenError failure = PortOpenError::None;
            if (!runner.portOpens(failure)) {
                continue;
            }
            station.events.event(status.port, "the port is back");
            portDown = false;
        }
        if (retrying) {
            place.attempt += 1;
        } else {
            place.attempt = 1;
            place.boxSession = sessionStem + "-" + std::to_string(++boxes);
        }
        retrying = false;
        StationObserver observer(station, status);
        const AttemptReport report = runner.runAttempt(observer);
        if (!report.boxWoke && report.outcome == Outcome::Aborted) {
            break; // stopped while waiting: no box, nothing to record
        }
        place.failuresInRow = noteFailures(station, status, report.outcome);
        if (!report.boxWoke && report.outcome == Outcome::PortFailure) {
            // Recorded once, when the port goes; then tried again quietly.
            place.boxSession.clear();
            record(station, status, report, observer, place);
            status.portFailures += 1; // an event of the port, no box
            station.events.event(status.port, "port failure: " + report.reason + retry);
            portDown = true;
            status.state = PortState::PortDown;
            continue;
        }
        record(station, status, report, observer, place);
        announce(station, status, report);
        if (report.outcome == Outcome::Aborted) {
            countBox(status, report.outcome);
            break;
        }
        status.state = PortState::Settling;
        // A failed box whose loader restarts wakes again at once: it is served again. A line
        // that stays silent for the settle time instead has settled already.
        bool settled = false;
        if (mayRetry(report.outcome, place.attempt, config.retries) && !stop.stopping()) {
            if (runner.lineActive(settleMs)) {
                station.events.event(status.port, "the box woke again: attempt " +
                                                      std::to_string(place.attempt + 1) + " of " +
                                                      std::to_string(config.retries + 1));
                retrying = true;
                continue;
            }
            settled = true;
        }
        countBox(status, report.outcome);
        if (settled) {
            continue;
        }
        // A box that restarts after its download keeps sending wake-up bytes: the port waits
        // for a silent line before it takes the next box.
        const auto settling = std::chrono::steady_clock::now();
        bool told = false;
        while (!stop.stopping() && runner.lineActive(settleMs)) {
            const double waking =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - settling).count();
            if (!told && waking >= config.keepsWakingSeconds) {
                told = true;
                station.events.event(
                    status.port, "a box keeps waking on " + status.port + ": power it off for " +
                                     seconds(config.settleSeconds) + ", or use --retries");
            }
        }
    }
    status.state = PortState::Stopped;
}

} // namespace kestrune::station
