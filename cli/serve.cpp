// kestrune-cli serve: one download attempt on one serial port, with the same control as the
// window: the wake-up watch polled every 100 ms, the session on a worker thread, the stall
// watchdog, and one Abort that ends every attempt.

#include "capture/pcap_writer.h"
#include "capture/test_log.h"
#include "cli/cli.h"
#include "cli/console.h"
#include "cli/countdown.h"
#include "cli/terminal.h"
#include "common/system_error.h"
#include "image/image_loader.h"
#include "session/download_control.h"
#include "station/attempt_runner.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace kestrune::cli {

using namespace kestrune::station;

namespace {

// Ctrl-C and SIGTERM abort the attempt. The handler only stores; the runner acts on it.
StopSignal g_serveStop;

// How long a box has to wake up: the stall watchdog's ticks of 100 ms.
constexpr std::chrono::seconds BOX_WAIT{WATCHDOG_LIMIT_TICKS / 10};

extern "C" void onSignal(int) {
    g_serveStop.abort();
}

// Whether `path` can be written, without changing an existing file or leaving a new one.
CrtError writable(const std::string& path) {
    std::error_code ignored;
    const bool existed = std::filesystem::exists(path, ignored);
    FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) {
        return lastCrtError();
    }
    std::fclose(f);
    if (!existed) {
        std::remove(path.c_str());
    }
    return {};
}

class ServeObserver final : public AttemptObserver {
public:
    ServeObserver(Console& console, Countdown& countdown, capture::TestLogFile* log,
                  std::string pcapPath)
        : console_(console), countdown_(countdown), log_(log), pcapPath_(std::move(pcapPath)) {}
    void waitingForBox() override {
        console_.info("Restart the set top box.");
        countdown_.start(BOX_WAIT);
    }
    void sessionStarted() override {
        countdown_.stop();
        if (log_ != nullptr) {
            log_->start();
        }
        if (!pcapPath_.empty() && !pcap_.open(pcapPath_)) {
            pcapError_ = pcap_.writeError();
        }
        console_.info("Set top box detected, download started.");
    }
    void boxIdentified(const BoxIdentity& identity) override {
        console_.info(("box: " + describeIdentity(identity)).c_str());
    }
    FrameTap* frameTap() override { return pcap_.isOpen() ? &pcap_ : nullptr; }
    void progressStarted(uint64_t moduleBytes) override { console_.progressStart(moduleBytes); }
    void progress(uint64_t acknowledged) override { console_.progress(acknowledged); }
    void logText(const char* text) override {
        if (log_ != nullptr) {
            log_->write(text);
        }
    }
    void sessionEnded() override {
        countdown_.stop();
        if (pcap_.isOpen()) {
            pcap_.close();
            pcapError_ = pcap_.writeError();
        }
    }
    CrtError pcapError() const { return pcapError_; }

private:
    Console& console_;
    Countdown& countdown_;
    capture::TestLogFile* log_;
    std::string pcapPath_;
    capture::PcapWriter pcap_;
    CrtError pcapError_;
};

// The outcome in the window's caption and first sentence, then what a command-line user does.
int reportOutcome(Console& console, const AttemptReport& report, const std::string& port) {
    const std::string& why = report.reason;
    switch (report.outcome) {
    case Outcome::Complete:
        console.message("Download complete",
                        "Download was successful.\nEnjoy your upgraded set top box.");
        return 0;
    case Outcome::DownloadError:
        console.message("Download error", ("Download was not successful.\n" + why +
                                           ".\nRun the command again to try once more.")
                                              .c_str());
        return EXIT_DOWNLOAD_ERROR;
    case Outcome::NotResponding:
        console.message("Communication error",
                        ("Not possible to download, the set top box is not responding.\n" +
                         (report.boxWoke ? why + "; check the cable"
                                         : "Check that the box is connected to " + port +
                                               " and is powered up within 20 s of the start") +
                         ", then run the command again.")
                            .c_str());
        return EXIT_NOT_RESPONDING;
    case Outcome::PortFailure:
        console.message("Error", ((report.sessionRan ? std::string("Cannot Start Downloading!!!.")
                                                     : "Failed to open communication resource.") +
                                  "\n" + why + ".")
                                     .c_str());
        return EXIT_PORT_FAILURE;
    case Outcome::WrongBox:
        console.message("Wrong box", ("Not served: " + why +
                                      ".\nThe box keeps its software; connect the right box, or "
                                      "check --expect-hardware.")
                                         .c_str());
        return EXIT_WRONG_BOX;
    case Outcome::Aborted:
        break;
    }
    console.message(nullptr, "Aborted.");
    return EXIT_ABORTED;
}

} // namespace

void declareServe(CLI::App& app, ServeOptions& o) {
    app.description("Waits for a set top box on DEVICE and downloads IMAGE (.dl) to it. Start "
                    "the command, then power up the box: it must wake up within " +
                    std::to_string(BOX_WAIT.count()) +
                    " s (on a terminal a countdown shows the seconds left), or serve ends with "
                    "status 2, not responding.");
    app.add_option("--port", o.port, "serial port (default COM1, which is /dev/ttyS0 on Linux)")
        ->type_name("DEVICE");
    app.add_option("--log", o.log,
                   "write the Test Log (banner, wake-up byte, one line per block, closing line) "
                   "to FILE; an existing FILE is replaced only once a box has woken up")
        ->type_name("FILE");
    app.add_option("--pcap", o.pcap,
                   "capture every DSM-CC message of the download, both ways, in FILE (pcap, UDP "
                   "port 13819, for Wireshark or tshark)")
        ->type_name("FILE");
    app.add_flag("-q,--quiet", o.quiet, "no progress display, only the outcome and errors");
    declareHardwareGuard(app, o.expectHardware, o.expectOui);
    app.add_flag("--force", o.force, "serve an image that has no modules");
    app.add_flag("--trace", o.trace, "every transfer on the port, with timestamps, on stderr");
    declareRelease(app, o.release, o.releaseKey);
    app.add_option("IMAGE", o.image, "the download image (.dl); none with --release");
    app.footer("Exit status: 0 download complete, 1 download error, 2 set top box not\n"
               "responding, 3 port failure, 4 aborted, 5 image not loadable, 6 wrong box (not\n"
               "served), 64 wrong usage, 73 the log or the capture cannot be written (at the\n"
               "start, or during the download, once its outcome is printed).");
}

int runServe(const CLI::App& cmd, const ServeOptions& o) {
    static constexpr char PROGRAM[] = "kestrune-cli serve";
    const std::string& port = o.port;
    HardwareGuard guard;
    if (const std::string wrong = parseHardwareGuard(o.expectHardware, o.expectOui, guard);
        !wrong.empty()) {
        return args::fail(cmd, wrong);
    }
    if (port.empty()) {
        return args::fail(cmd, "--port needs a device name");
    }
    if (const std::string wrong = checkImageOrRelease(o.image, o.release, o.expectHardware);
        !wrong.empty()) {
        return args::fail(cmd, wrong);
    }

    Console console(port.c_str(), o.quiet);
    // Kept for the whole process, like the window's one instance: the rows point into it.
    static ServedImage* single = new ServedImage;
    static release::LoadedRelease* loaded = new release::LoadedRelease;
    ServedImage* served = single;
    LoadStatus status;
    if (!o.release.empty()) {
        release::loadRelease(o.release, o.releaseKey, release::nowMs(), *loaded);
        if (!loaded->ok()) {
            std::fprintf(stderr, "%s: %s\n", PROGRAM, loaded->firstProblem().c_str());
            return EXIT_IMAGE_NOT_LOADABLE;
        }
        served = loaded->entries.front().image.get();
    } else if (!loadServedImage(o.image, *served, status)) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM,
                     describeLoadFailure(o.image.c_str(), status).c_str());
        return EXIT_IMAGE_NOT_LOADABLE;
    }
    if (const int refused = o.release.empty()
                                ? checkImageToServe(PROGRAM, o.image.c_str(), served->image,
                                                    served->response, o.force)
                                : 0;
        refused != 0) {
        return refused;
    }
    const std::string& source = o.release.empty() ? o.image : o.release;

    // The image is checked first, so that a mistyped command line cannot destroy it, and no
    // two outputs may share a file.
    std::error_code ignored;
    const char* itself = o.release.empty() ? " is the image itself" : " is the release itself";
    if (!o.log.empty() && std::filesystem::equivalent(o.log, source, ignored)) {
        return args::fail(cmd, "the log " + o.log + itself);
    }
    if (!o.pcap.empty() && std::filesystem::equivalent(o.pcap, source, ignored)) {
        return args::fail(cmd, "the capture " + o.pcap + itself);
    }
    if (!o.log.empty() && !o.pcap.empty() &&
        (o.log == o.pcap || std::filesystem::equivalent(o.log, o.pcap, ignored))) {
        return args::fail(cmd, "--log and --pcap name the same file " + o.pcap);
    }
    capture::TestLogFile log;
    if (!o.log.empty()) {
        if (const CrtError error = log.prepare(o.log)) {
            std::fprintf(stderr, "%s: cannot write the log %s: %s\n", PROGRAM, o.log.c_str(),
                         systemErrorText(error).c_str());
            return EXIT_CANNOT_WRITE;
        }
    }
    if (!o.pcap.empty()) {
        if (const CrtError error = writable(o.pcap)) {
            std::fprintf(stderr, "%s: cannot write the capture %s: %s\n", PROGRAM, o.pcap.c_str(),
                         systemErrorText(error).c_str());
            return EXIT_CANNOT_WRITE;
        }
    }

    RunnerOptions options;
    options.port = port;
    options.trace = o.trace;
    options.stop = &g_serveStop;
    options.guard = guard;
    if (!o.release.empty()) {
        options.release = &loaded->release;
        for (const release::EntryCheck& entry : loaded->entries) {
            options.images.push_back(entry.image.get());
        }
    }
    static PortRunner* runner = new PortRunner(options, served->response, served->image.size());

    // The port first: nobody is asked to restart a box on a port that cannot be opened.
    PortOpenError failure = PortOpenError::None;
    if (!runner->portOpens(failure)) {
        console.message("Error", ("Failed to open communication resource.\n" +
                                  describePortProblem(failure, port) + ".")
                                     .c_str());
        return EXIT_PORT_FAILURE;
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    if (o.release.empty()) {
        console.info(("Waiting for the set top box (" + o.image + ", " +
                      groupDigits(served->image.size()) + " bytes).")
                         .c_str());
    } else {
        for (const std::string& line : release::describeLoaded(*loaded)) {
            console.info(line.c_str());
        }
        console.info("Waiting for the set top box.");
    }

    Countdown countdown(o.port.c_str(), !o.quiet && stderrIsTerminal());
    ServeObserver observer(console, countdown, o.log.empty() ? nullptr : &log, o.pcap);
    const AttemptReport report = runner->runAttempt(observer);
    console.progressEnd(report.deliveredBytes);
    if (report.entry >= 0) {
        const release::ImageFacts& image = options.images[size_t(report.entry)]->facts;
        console.info(("image: " + image.label + " (" + image.path + ")").c_str());
    }
    int exitStatus = reportOutcome(console, report, port);
    // The download's own outcome comes first; then what could not be kept of it.
    const CrtError logError = log.close();
    if (logError) {
        console.message(nullptr, ("cannot write the log " + o.log + ": " +
                                  systemErrorText(logError) + "; it is incomplete")
                                     .c_str());
        exitStatus = EXIT_CANNOT_WRITE;
    }
    if (observer.pcapError()) {
        console.message(nullptr, ("cannot write the capture " + o.pcap + ": " +
                                  systemErrorText(observer.pcapError()) + "; it is incomplete")
                                     .c_str());
        exitStatus = EXIT_CANNOT_WRITE;
    }
    return exitStatus;
}

} // namespace kestrune::cli
