// kestrune-cli station: flashes boxes on many ports at once, unattended, with a record of every
// box. Each port cycles on its own thread: waiting for a box (no watchdog) -> the wake-up byte ->
// the download (the session and stall watchdog of `serve`) -> its outcome -> settling until the
// line has been silent for a while (a box that reboots after its download is not flashed
// again) -> waiting.

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/pcap_writer.h"
#include "cli/port_runner.h"
#include "cli/station_display.h"
#include "cli/station_record.h"
#include "common/sha256.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::cli {
namespace {

constexpr char PROGRAM[] = "kestrune-cli station";
// How long a port that cannot be opened waits before it tries again.
constexpr int RETRY_MS = 3000;

// Signals: the first stops every waiting port, the second aborts the downloads in progress.
// The handler only stores (and on POSIX cancels); the main thread says what happened. On
// Windows it runs on the console's own thread, and the runners' loops do the cancelling.
constexpr size_t MAX_PORTS = 256;
PortRunner* g_runners[MAX_PORTS] = {};
std::atomic<size_t> g_runnerCount{0};
std::atomic<int> g_signals{0};

extern "C" void onStationSignal(int signal) {
#ifdef _WIN32
    // The Microsoft C runtime puts SIG_DFL back before it calls a handler: without this the
    // second Ctrl-C would end the process instead of aborting the downloads.
    std::signal(signal, onStationSignal);
#else
    (void)signal;
#endif
    const int count = g_signals.fetch_add(1) + 1;
    const size_t n = g_runnerCount.load();
    for (size_t i = 0; i < n; ++i) {
        if (count == 1) {
            g_runners[i]->stopWaiting();
        } else {
            g_runners[i]->abort();
        }
    }
}

bool stopping() {
    return g_signals.load() != 0;
}

// Sleeps up to `ms`, waking early when the station stops.
void pauseUnlessStopping(int ms) {
    for (int waited = 0; waited < ms && !stopping(); waited += 50) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
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

// A new file name in `dir` for this port and moment.
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

struct Station {
    ImageFacts image;
    std::string logDir;
    std::string pcapDir;
    double settleSeconds = 3;
    RecordFile record;
    bool recording = false;
    StationDisplay* display = nullptr;
    std::atomic<uint32_t> completed{0};
    std::atomic<uint32_t> failures{0};
    std::atomic<uint32_t> aborted{0};
};

// One download as the station sees it: the table's figures, the Test Log and the capture.
class StationObserver final : public AttemptObserver {
public:
    StationObserver(Station& station, PortStatus& status) : station_(station), status_(status) {}
    ~StationObserver() override { closeFiles(); }

    void waitingForBox() override { status_.state = PortState::Waiting; }
    void sessionStarted() override {
        status_.bytesSent = 0;
        status_.startedMs = StationDisplay::nowMs();
        status_.state = PortState::Downloading;
        if (!station_.logDir.empty()) {
            logPath_ = uniquePath(station_.logDir, status_.port, ".log");
            log_ = std::fopen(logPath_.c_str(), "wb");
            if (log_ == nullptr) {
                station_.display->event(status_.port,
                                        "cannot write " + logPath_ + ": " + std::strerror(errno));
                logPath_.clear();
            }
        }
        if (!station_.pcapDir.empty()) {
            capturePath_ = uniquePath(station_.pcapDir, status_.port, ".pcap");
            if (!capture_.open(capturePath_)) {
                station_.display->event(status_.port, "cannot write " + capturePath_ + ": " +
                                                          std::strerror(errno));
                capturePath_.clear();
            }
        }
        station_.display->event(status_.port, "a box woke up; downloading");
    }
    void progressStarted(uint32_t imageSize) override { status_.imageSize = imageSize; }
    void progress(const char*, uint32_t bytesSent) override { status_.bytesSent = bytesSent; }
    void logText(const char* text) override {
        if (log_ != nullptr) {
            std::fputs(text, log_);
        }
    }
    FrameTap* frameTap() override { return capture_.isOpen() ? &capture_ : nullptr; }
    void sessionEnded() override { closeFiles(); }

    const std::string& logPath() const { return logPath_; }
    const std::string& capturePath() const { return capturePath_; }

private:
    void closeFiles() {
        if (log_ != nullptr) {
            std::fclose(log_);
            log_ = nullptr;
        }
        capture_.close();
    }

    Station& station_;
    PortStatus& status_;
    FILE* log_ = nullptr;
    std::string logPath_;
    PcapWriter capture_;
    std::string capturePath_;
};

void record(Station& station, PortStatus& status, const AttemptReport& report,
            const StationObserver& observer) {
    if (station.recording &&
        !station.record.append(recordLine(report, status.port, station.image, observer.logPath(),
                                          observer.capturePath()))) {
        station.display->event(status.port,
                               std::string("cannot write the record: ") + std::strerror(errno));
    }
}

void servePort(Station& station, PortRunner& runner, PortStatus& status) {
    bool portDown = false;
    while (!stopping()) {
        if (portDown) {
            pauseUnlessStopping(RETRY_MS);
            if (stopping()) {
                break;
            }
        }
        StationObserver observer(station, status);
        const AttemptReport report = runner.runAttempt(observer);
        const std::string why = explainOutcome(report, status.port);
        if (!report.boxWoke && report.outcome == Outcome::Aborted) {
            break; // stopped while waiting: no box, nothing to record
        }
        if (!report.boxWoke && report.outcome == Outcome::PortFailure) {
            // Recorded once, when the port goes; then tried again quietly.
            if (!portDown) {
                record(station, status, report, observer);
                station.failures += 1;
                station.display->event(status.port, "port failure: " + why +
                                                        "; trying again every " +
                                                        std::to_string(RETRY_MS / 1000) + " s");
            }
            portDown = true;
            status.state = PortState::PortFailure;
            continue;
        }
        if (portDown) {
            station.display->event(status.port, "the port is back");
            portDown = false;
        }
        record(station, status, report, observer);
        const double seconds = std::chrono::duration<double>(report.ended - report.started).count();
        char took[48];
        std::snprintf(took, sizeof took, " in %.1f s", seconds);
        switch (report.outcome) {
        case Outcome::Complete:
            status.done += 1;
            station.completed += 1;
            station.display->event(status.port, "complete: " + groupDigits(report.moduleBytes) +
                                                    " module bytes" + took);
            break;
        case Outcome::Aborted:
            status.failed += 1;
            station.aborted += 1;
            station.display->event(status.port, "aborted");
            break;
        default:
            status.failed += 1;
            station.failures += 1;
            station.display->event(
                status.port,
                std::string(outcomeName(report.outcome)) + ": " + why +
                    (report.resultCode != 0 || !report.sessionRan ? "" : " (result 0)"));
            break;
        }
        if (report.outcome == Outcome::Aborted) {
            break;
        }
        // A box that reboots after its download keeps sending wake-up bytes: the port waits for
        // a silent line before it takes the next box.
        status.state = PortState::Settling;
        const auto settleMs = static_cast<uint32_t>(station.settleSeconds * 1000);
        while (!stopping() && runner.lineActive(settleMs)) {
        }
    }
    status.state = PortState::Stopped;
}

} // namespace

int runStation(int argc, char** argv) {
    std::vector<std::string> ports;
    std::string recordPath;
    std::string logDir;
    std::string pcapDir;
    std::string imagePath;
    double settle = 3;
    bool trace = false;
    args::Command cmd(PROGRAM,
                      "Serves IMAGE (.dl) to set top boxes on every --port at once, box after "
                      "box, until stopped: connect a box to a port that shows \"waiting\" and "
                      "power it up.");
    cmd.repeated("--port", ports, "DEVICE", "a serial port to serve; repeat for every port")
        .text("--record", recordPath, "FILE",
              "append one JSON line per download attempt to FILE, flushed to disk before the "
              "port takes its next box")
        .text("--log-dir", logDir, "DIR", "write each download's Test Log to its own file in DIR")
        .text("--pcap-dir", pcapDir, "DIR",
              "capture each download's DSM-CC messages in its own pcap file in DIR")
        .decimal("--settle", settle, "SECONDS",
                 "after a download, the line must be silent this long before the port takes the "
                 "next box (default 3)",
                 0.2, 3600)
        .flag("--trace", trace, "every transfer on every port, with timestamps, on stderr")
        .positional("IMAGE", imagePath, "the download image (.dl)")
        .footer("The first Ctrl-C (or SIGTERM) stops the waiting ports and lets downloads in\n"
                "progress finish; a second one aborts them.\n"
                "\n"
                "Exit status: 0 every recorded download completed, 1 a download failed (or a\n"
                "port failed during the run), 3 a port failed at the start, 4 downloads were\n"
                "aborted, 5 image not loadable, 64 wrong usage, 73 the record, a log or a\n"
                "capture folder cannot be written.");
    if (const int status = cmd.parse(argc, argv); status != args::PROCEED) {
        return status;
    }
    if (ports.empty()) {
        return cmd.fail("give at least one --port");
    }
    if (ports.size() > MAX_PORTS) {
        return cmd.fail("at most " + std::to_string(MAX_PORTS) + " ports");
    }
    std::set<std::string> seen;
    for (const std::string& port : ports) {
        if (port.empty()) {
            return cmd.fail("--port needs a device name");
        }
        if (!seen.insert(port).second) {
            return cmd.fail("--port " + port + " is given twice");
        }
    }

    // The image is loaded once and shared by every port: the rows point into it.
    static DownloadInfoResponse* response = new DownloadInfoResponse{};
    static DownloadImage* image = new DownloadImage;
    LoadStatus loadStatus;
    if (!loadImage(*response, imagePath.c_str(), *image, &loadStatus)) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM,
                     describeLoadFailure(imagePath.c_str(), loadStatus).c_str());
        return EXIT_IMAGE_NOT_LOADABLE;
    }
    static Station* station = new Station;
    station->image.path = imagePath;
    station->image.size = image->size();
    Sha256 hash;
    hash.update(image->data(), image->size());
    station->image.sha256 = hash.hex();
    station->settleSeconds = settle;

    std::error_code ignored;
    for (const std::string* path : {&recordPath, &logDir, &pcapDir}) {
        if (!path->empty() && std::filesystem::equivalent(*path, imagePath, ignored)) {
            return cmd.fail(*path + " is the image itself");
        }
    }
    if (!recordPath.empty()) {
        if (!station->record.open(recordPath)) {
            std::fprintf(stderr, "%s: cannot open the record %s: %s\n", PROGRAM, recordPath.c_str(),
                         std::strerror(errno));
            return EXIT_CANNOT_WRITE;
        }
        station->recording = true;
    }
    for (const auto& [dir, target] :
         {std::pair{&logDir, &station->logDir}, std::pair{&pcapDir, &station->pcapDir}}) {
        if (dir->empty()) {
            continue;
        }
        std::error_code error;
        std::filesystem::create_directories(*dir, error);
        if (!std::filesystem::is_directory(*dir, ignored)) {
            std::fprintf(stderr, "%s: cannot make the folder %s: %s\n", PROGRAM, dir->c_str(),
                         error ? error.message().c_str() : "not a folder");
            return EXIT_CANNOT_WRITE;
        }
        *target = *dir;
    }

    // Every port must open before any box is served.
    std::vector<std::unique_ptr<PortRunner>> runners;
    std::vector<std::unique_ptr<PortStatus>> statuses;
    bool portsOk = true;
    for (const std::string& port : ports) {
        RunnerOptions options;
        options.port = port;
        options.trace = trace;
        options.waitIndefinitely = true;
        runners.push_back(std::make_unique<PortRunner>(options, *response, image->size()));
        statuses.push_back(std::make_unique<PortStatus>(port));
        PortFailure failure = PortFailure::None;
        if (!runners.back()->portOpens(failure)) {
            std::fprintf(stderr, "%s: Failed to open communication resource: %s.\n", port.c_str(),
                         describePortProblem(failure, port).c_str());
            portsOk = false;
        }
    }
    if (!portsOk) {
        return EXIT_PORT_FAILURE;
    }

    std::vector<PortStatus*> shown;
    for (auto& status : statuses) {
        shown.push_back(status.get());
    }
    const bool terminal = stderrIsTerminal();
    StationDisplay display(shown, terminal);
    station->display = &display;

    for (size_t i = 0; i < runners.size(); ++i) {
        g_runners[i] = runners[i].get();
    }
    g_runnerCount = runners.size();
    std::signal(SIGINT, onStationSignal);
    std::signal(SIGTERM, onStationSignal);

    display.event("", "serving " + imagePath + " (" + groupDigits(image->size()) +
                          " bytes, SHA-256 " + station->image.sha256.substr(0, 16) + "...) on " +
                          std::to_string(ports.size()) + " port" + (ports.size() == 1 ? "" : "s") +
                          "; Ctrl-C stops");
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runners.size(); ++i) {
        threads.emplace_back(servePort, std::ref(*station), std::ref(*runners[i]),
                             std::ref(*statuses[i]));
    }

    int announced = 0;
    for (;;) {
        const int signals = g_signals.load();
        if (signals >= 1 && announced < 1) {
            display.event("", "stopping: no new boxes; downloads in progress finish (Ctrl-C "
                              "again aborts them)");
            announced = 1;
        }
        if (signals >= 2 && announced < 2) {
            display.event("", "aborting the downloads in progress");
            announced = 2;
        }
        bool allStopped = true;
        for (auto& status : statuses) {
            allStopped = allStopped && status->state.load() == PortState::Stopped;
        }
        if (allStopped) {
            break;
        }
        display.redraw();
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    for (std::thread& t : threads) {
        t.join();
    }
    g_runnerCount = 0;
    display.finish();

    char summary[160];
    std::snprintf(summary, sizeof summary, "%u complete, %u failed, %u aborted",
                  station->completed.load(), station->failures.load(), station->aborted.load());
    display.event("", summary);
    if (station->aborted.load() != 0) {
        return EXIT_ABORTED;
    }
    return station->failures.load() != 0 ? EXIT_DOWNLOAD_ERROR : 0;
}

} // namespace kestrune::cli
