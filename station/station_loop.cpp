#include "station/station_loop.h"

#include "capture/pcap_writer.h"
#include "capture/test_log.h"
#include "common/system_error.h"
#include "common/text.h"
#include "link/port_identity.h"
#include "station/attempt_id.h"
#include "station/port_rules.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kestrune::station {
namespace {

using Clock = std::chrono::steady_clock;

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

bool sameBox(const BoxIdentity& before, const BoxIdentity& now);

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
            if (const CrtError error =
                    log_.createNew(fileStem(config.logDir, status_.port), ".log")) {
                cannotWrite(log_.path(), error);
            } else {
                logPath_ = log_.path();
            }
        }
        if (!config.pcapDir.empty()) {
            if (!capture_.openNew(fileStem(config.pcapDir, status_.port), ".pcap")) {
                cannotWrite(capture_.path(), capture_.writeError());
            } else {
                capturePath_ = capture_.path();
            }
        }
        wokeAt_ = Clock::now();
        station_.events.event(status_.port, !retryWords_.empty() && wokeAt_ <= returnBy_
                                                ? retryWords_
                                                : "a box woke up; downloading");
    }
    // The box that failed (`box`) may wake again until `by`: its wake-up is then told in
    // `words`, and it keeps the scan it took (`scan`; null when it took none).
    void mayBeRetry(Clock::time_point by, std::string words, const BoxIdentity& box,
                    const std::string* scan) {
        returnBy_ = by;
        retryWords_ = std::move(words);
        returning_ = box;
        returningScan_ = scan;
    }
    Clock::time_point wokeAt() const { return wokeAt_; }
    // Whether the box that woke and sent `identity` is the one that failed, back for a retry.
    bool isReturningBox(const BoxIdentity& identity) const {
        return !retryWords_.empty() && wokeAt_ <= returnBy_ && sameBox(returning_, identity);
    }
    const std::string* scanOfReturningBox(const BoxIdentity& identity) const override {
        return isReturningBox(identity) ? returningScan_ : nullptr;
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
    void cannotWrite(const std::string& path, CrtError error) {
        station_.outputFailed = true;
        station_.events.event(status_.port, "cannot write " + path + ": " + systemErrorText(error));
    }
    void closeFiles() {
        if (log_.isOpen()) {
            if (const CrtError error = log_.close()) {
                cannotWrite(logPath_, error);
            }
        }
        if (capture_.isOpen()) {
            capture_.close();
            if (capture_.writeError()) {
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
    Clock::time_point wokeAt_ = Clock::time_point::max();
    Clock::time_point returnBy_{};
    std::string retryWords_;
    BoxIdentity returning_;
    const std::string* returningScan_ = nullptr;
};

void record(StationShared& station, PortStatus& status, const AttemptReport& report,
            const StationObserver& observer, const AttemptPlace& place) {
    if (report.entry >= 0) {
        status.lastEntry = report.entry;
    }
    station.events.attemptEnded(status, report, place);
    if (station.config.record == nullptr) {
        return;
    }
    const StationConfig& config = station.config;
    const ImageFacts none;
    const ImageFacts& image = !config.hasRelease  ? config.image
                              : report.entry >= 0 ? config.images[static_cast<size_t>(report.entry)]
                                                  : none;
    const CrtError error = config.record->append(
        recordLine(report, status.port, image, observer.logPath(), observer.capturePath(), place,
                   config.hasRelease ? &config.release : nullptr));
    if (error) {
        station.outputFailed = true;
        station.events.event(status.port, "cannot write the record: " + systemErrorText(error) +
                                              "; this attempt is not in it");
    }
}

// " of 4.7.11 (vb2000.dl)": under a release, the image the box got.
std::string imageOf(const StationShared& station, const AttemptReport& report) {
    if (!station.config.hasRelease || report.entry < 0) {
        return "";
    }
    const ImageFacts& image = station.config.images[static_cast<size_t>(report.entry)];
    return " of " + image.label + " (" + image.path + ")";
}

void announce(StationShared& station, PortStatus& status, const AttemptReport& report) {
    const double seconds = std::chrono::duration<double>(report.ended - report.started).count();
    char took[48];
    std::snprintf(took, sizeof took, " in %.1f s", seconds);
    switch (report.outcome) {
    case Outcome::Complete:
        station.events.event(status.port, "complete: " + groupDigits(report.moduleBytes) +
                                              " module bytes" + imageOf(station, report) + took);
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

// Whether the box of this attempt is the box whose attempt failed before: the same identity in
// its DownloadInfoRequest, when both gave one.
bool sameBox(const BoxIdentity& before, const BoxIdentity& now) {
    if (!before.requestSeen || !now.requestSeen) {
        return true;
    }
    return before.byteCount == now.byteCount && before.descriptorCount == now.descriptorCount &&
           std::memcmp(before.bytes, now.bytes, before.byteCount) == 0;
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

std::string figure(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string healthWords(const PortHealth& h) {
    std::string words =
        figure(h.figure) + " resends per KiB over its last " + std::to_string(h.boxes) + " boxes";
    if (h.hasLine) {
        words += " (the line's " + figure(h.line) + ")";
    }
    if (h.firstRequestMs >= 1000) {
        char late[64];
        std::snprintf(late, sizeof late, "; its boxes ask %.1f s after waking",
                      h.firstRequestMs / 1000);
        words += late;
    }
    return words;
}

// Waits until the line has been silent for the settle time, counted from when it was last
// heard busy: a port restarted by a reload only waits out the rest of a silence it was already
// in. A line that stays busy past keepsWakingSeconds is told once.
void awaitSilentLine(StationShared& station, PortRunner& runner, PortStatus& status) {
    const StationConfig& config = station.config;
    const auto settleMs = static_cast<int64_t>(config.settleSeconds * 1000);
    status.state = PortState::Settling;
    const int64_t since = steadyMs();
    bool told = false;
    int64_t listenMs = settleMs - (since - status.lineHeardMs.load());
    while (listenMs > 0 && !station.stop.stopping() &&
           runner.lineActive(static_cast<uint32_t>(listenMs))) {
        status.lineHeardMs = steadyMs();
        listenMs = settleMs;
        if (!told && status.lineHeardMs - since >= int64_t(config.keepsWakingSeconds * 1000)) {
            told = true;
            station.events.event(status.port,
                                 "a box keeps waking on " + status.port + ": power it off for " +
                                     seconds(config.settleSeconds) + ", or use --retries");
        }
    }
}

} // namespace

HealthBoard::HealthBoard(const std::vector<PortStatus*>& ports, const HealthThresholds& thresholds)
    : ports_(ports), health_(ports.size(), thresholds) {}

void HealthBoard::addPort(PortStatus& status) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ports_.push_back(&status);
    health_.addPort();
}

void HealthBoard::add(PortStatus& status, const AttemptReport& report, AttemptPlace& place,
                      StationEvents& events) {
    if (!report.boxWoke) {
        return; // no download, nothing of the line to learn
    }
    HealthSample sample;
    sample.deliveredBytes = report.deliveredBytes;
    sample.framesResent = report.framesResent;
    sample.naks = report.naks;
    sample.crcErrors = report.crcErrors;
    sample.firstRequestMs = report.firstRequestMs;
    std::vector<std::pair<std::string, std::string>> told;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        size_t at = 0;
        while (at < ports_.size() && ports_[at] != &status) {
            ++at;
        }
        if (at == ports_.size()) {
            return;
        }
        health_.add(at, sample);
        place.healthKnown = true;
        place.health = health_.port(at);
        place.lineWorsened = health_.lineWorsened();
        for (size_t i = 0; i < ports_.size(); ++i) {
            PortStatus& port = *ports_[i];
            const PortHealth& h = health_.port(i);
            if (i == at) {
                port.healthKnown = true;
                port.linkQuality = h.figure;
            }
            if (h.degrading != port.degrading.load()) {
                port.degrading = h.degrading;
                told.emplace_back(port.port,
                                  h.degrading
                                      ? "link degrading: " + healthWords(h) +
                                            "; its downloads still complete: check its cable and "
                                            "adapter before it fails boxes"
                                      : "link back to normal: " + healthWords(h));
            }
        }
        if (health_.lineWorsened() != lineWorsened_.load()) {
            lineWorsened_ = health_.lineWorsened();
            told.emplace_back(
                "", lineWorsened_
                        ? "the line as a whole worsened: " + figure(health_.lineFigure()) +
                              " resends per KiB on most ports at once; "
                              "look at what they share (the image, the "
                              "mains, a hub), not at one port"
                        : "the line is back to normal: " + figure(health_.lineFigure()) +
                              " resends per KiB");
        }
    }
    // Told outside the lock: the events go on to the table and the page.
    for (const auto& [port, text] : told) {
        events.event(port, text);
    }
}

std::string fileStem(const std::string& dir, const std::string& port) {
    return (std::filesystem::path(dir) / fileNameOf(port)).string() + "-" +
           fileTime(std::chrono::system_clock::now());
}

void servePort(StationShared& station, PortRunner& runner, PortStatus& status, bool settleFirst) {
    const StopSignal& stop = station.stop;
    const StationConfig& config = station.config;
    const PortRules rules{config.retries, config.suspectAfter};
    const std::string retry =
        "; trying again every " + std::to_string(config.retryMs / 1000) + " s";
    const auto settleMs = static_cast<uint32_t>(config.settleSeconds * 1000);
    if (settleFirst) {
        awaitSilentLine(station, runner, status);
    }
    PortDevice device = portDevice(status.device.empty() ? status.port : status.device);
    // The box of the last attempt, while it may come back for another (a failed download, a
    // retry left): it must wake up again within the settle time.
    struct {
        bool mayReturn = false;
        std::string boxSession;
        uint32_t attempt = 0;
        std::atomic<uint32_t> PortStatus::*count = nullptr;
        Clock::time_point ended{};
        BoxIdentity identity;
        std::string unitSerial, unitSerialFrom;
        // The scan its box was compared with, when a check was made: a scan is taken once, by
        // the first attempt that asks, and its retries are compared with it again.
        bool scanAsked = false;
        std::string scan;
    } last;
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
            portDown = false;
            const PortDevice now = portDevice(status.device.empty() ? status.port : status.device);
            if (sameDevice(device, now)) {
                station.events.event(status.port, "the port is back: " + describeDevice(now));
            } else {
                // Another device under the port's name: none of the old one's history is its.
                station.events.event(
                    status.port,
                    "the port is back, but it is another device: " + describeDevice(now) +
                        " (it was " + describeDevice(device) + "); served as a new port");
                device = now;
                status.failuresInRow = 0;
                status.suspect = false;
            }
        }
        const Clock::time_point returnBy = last.ended + std::chrono::milliseconds(settleMs);
        StationObserver observer(station, status);
        if (last.mayReturn) {
            observer.mayBeRetry(returnBy,
                                "the box woke again: attempt " + std::to_string(last.attempt + 1) +
                                    " of " + std::to_string(config.retries + 1),
                                last.identity, last.scanAsked ? &last.scan : nullptr);
        }
        const AttemptReport report = runner.runAttempt(observer);
        if (!report.boxWoke && report.outcome == Outcome::Aborted) {
            break; // stopped while waiting: no box, nothing to record
        }
        // A retry is the box that failed, woken again within the settle time; anything else is
        // a new box, and the failed one keeps its count.
        const bool retried =
            last.mayReturn && report.boxWoke && observer.isReturningBox(report.identity);
        if (last.mayReturn && report.boxWoke && observer.wokeAt() <= returnBy && !retried) {
            station.events.event(status.port,
                                 "not the box that failed: another box, attempt 1 of its own");
        }
        AttemptPlace place;
        place.device = status.device;
        place.slot = status.device.empty() || status.device == status.port ? "" : status.port;
        if (retried) {
            (status.*last.count) -= 1;
            if (last.count == &PortStatus::portFailures) {
                status.portFailureBoxes -= 1;
            }
            place.attempt = last.attempt + 1;
            place.boxSession = last.boxSession;
        } else if (report.boxWoke) {
            place.boxSession = newUuid();
        }
        place.attemptId = newUuid();
        place.provenance = config.provenance;
        place.unitSerial = report.unitSerial;
        place.unitSerialFrom = report.unitSerialFrom;
        if (retried && place.unitSerial.empty()) {
            place.unitSerial = last.unitSerial;
            place.unitSerialFrom = last.unitSerialFrom;
        }
        if (!report.unitNote.empty()) {
            station.events.event(status.port, report.unitNote);
        }
        last.mayReturn = false;
        const AfterOutcome after =
            afterOutcome(report.outcome, place.attempt, status.failuresInRow.load(),
                         status.suspect.load(), rules);
        status.failuresInRow = after.failuresInRow;
        status.suspect = after.suspect;
        place.failuresInRow = after.failuresInRow;
        if (station.health != nullptr) {
            station.health->add(status, report, place, station.events);
        }
        if (after.newSuspect) {
            station.events.event(status.port, std::to_string(after.failuresInRow) +
                                                  " failures in a row on " + status.port +
                                                  ": check its cable and adapter");
        }
        record(station, status, report, observer, place);
        (status.*after.count) += 1;
        if (report.boxWoke && report.outcome == Outcome::PortFailure) {
            status.portFailureBoxes += 1; // a box was on the port: a box of the yield
        }
        if (!report.boxWoke && report.outcome == Outcome::PortFailure) {
            // Recorded once, when the port goes; then tried again quietly.
            station.events.event(status.port, "port failure: " + report.reason + retry);
            portDown = true;
            status.state = PortState::PortDown;
            continue;
        }
        announce(station, status, report);
        if (report.outcome == Outcome::Aborted) {
            break;
        }
        if (after.mayRetry) {
            // A failed box whose loader restarts wakes again at once: the next attempt is its
            // retry if it comes within the settle time (a silent line has settled already).
            last.mayReturn = true;
            last.boxSession = place.boxSession;
            last.attempt = place.attempt;
            last.count = after.count;
            last.ended = Clock::now();
            last.identity = report.identity;
            last.unitSerial = place.unitSerial;
            last.unitSerialFrom = place.unitSerialFrom;
            if (report.unitAsked) {
                last.scanAsked = true;
                last.scan = report.unitScan;
            } else if (!retried) {
                last.scanAsked = false;
            }
            continue;
        }
        // A box that restarts after its download keeps sending wake-up bytes: the port waits
        // for a silent line before it takes the next box.
        status.lineHeardMs = steadyMs();
        awaitSilentLine(station, runner, status);
    }
    status.state = PortState::Stopped;
}

} // namespace kestrune::station
