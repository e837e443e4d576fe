// kestrune-cli serve: one download attempt on one serial port, with the same control as the
// window: the wake-up watch polled every 100 ms, the session on a worker thread, the stall
// watchdog, and one Abort that ends every attempt.

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/pcap_writer.h"
#include "cli/port_runner.h"
#include "image/image_loader.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace kestrune::cli {
namespace {

PortRunner* g_runner = nullptr;
std::atomic<int> g_signal{0};

// On Windows this runs on the console's own thread and abort() only sets the runner's flag.
extern "C" void onSignal(int signal) {
    g_signal.store(signal);
    if (g_runner != nullptr) {
        g_runner->abort();
    }
}

// The Test Log file. It is opened (created when missing) before the attempt, so that an
// unwritable path fails at once, but an existing file is emptied only once a box has woken up:
// a run that never starts leaves yesterday's log as it was.
class LogFile {
public:
    bool open(const char* path) {
        path_ = path;
        std::error_code ignored;
        created_ = !std::filesystem::exists(path_, ignored);
        file_ = std::fopen(path, "ab");
        return file_ != nullptr;
    }
    void start() {
        if (file_ != nullptr) {
            file_ = std::freopen(path_.c_str(), "wb", file_);
            started_ = true;
        }
    }
    void write(const char* text) {
        if (file_ != nullptr && started_) {
            std::fputs(text, file_);
            std::fflush(file_);
        }
    }
    ~LogFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
        if (created_ && !started_ && !path_.empty()) {
            std::remove(path_.c_str());
        }
    }

private:
    std::string path_;
    FILE* file_ = nullptr;
    bool created_ = false;
    bool started_ = false;
};

// Whether `path` can be written, without changing an existing file or leaving a new one.
bool writable(const std::string& path) {
    std::error_code ignored;
    const bool existed = std::filesystem::exists(path, ignored);
    FILE* f = std::fopen(path.c_str(), "ab");
    if (f == nullptr) {
        return false;
    }
    std::fclose(f);
    if (!existed) {
        std::remove(path.c_str());
    }
    return true;
}

class ServeObserver final : public AttemptObserver {
public:
    ServeObserver(Console& console, LogFile* log, std::string pcapPath)
        : console_(console), log_(log), pcapPath_(std::move(pcapPath)) {}
    void waitingForBox() override { console_.info("Restart the set top box."); }
    void sessionStarted() override {
        if (log_ != nullptr) {
            log_->start();
        }
        if (!pcapPath_.empty() && !pcap_.open(pcapPath_)) {
            console_.message(nullptr, ("cannot write the capture " + pcapPath_ + ": " +
                                       std::strerror(errno) + "; going on without it")
                                          .c_str());
        }
        console_.info("Set top box detected, download started.");
    }
    FrameTap* frameTap() override { return pcap_.isOpen() ? &pcap_ : nullptr; }
    void progressStarted(uint32_t imageSize) override { console_.progressStart(imageSize); }
    void progress(const char* status, uint32_t bytesSent) override {
        console_.progress(status, bytesSent);
    }
    void logText(const char* text) override {
        if (log_ != nullptr) {
            log_->write(text);
        }
    }
    void sessionEnded() override {
        console_.progressEnd();
        pcap_.close();
    }

private:
    Console& console_;
    LogFile* log_;
    std::string pcapPath_;
    PcapWriter pcap_;
};

// The outcome in the window's caption and first sentence, then what a command-line user does.
int reportOutcome(Console& console, const AttemptReport& report, const std::string& port) {
    const std::string why = explainOutcome(report, port);
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
    case Outcome::Aborted:
        break;
    }
    console.message(nullptr, "Aborted.");
    return EXIT_ABORTED;
}

} // namespace

int runServe(int argc, char** argv) {
    static constexpr char PROGRAM[] = "kestrune-cli serve";
    std::string port = "COM1";
    std::string logPath;
    std::string pcapPath;
    std::string imagePath;
    bool quiet = false;
    bool trace = false;
    args::Command cmd(PROGRAM, "Waits for a set top box on DEVICE and downloads IMAGE (.dl) to "
                               "it: start the command, then power up the box.");
    cmd.text("--port", port, "DEVICE", "serial port (default COM1, which is /dev/ttyS0 on Linux)")
        .text("--log", logPath, "FILE",
              "write the Test Log (banner, wake-up byte, one line per block, closing line) to "
              "FILE; an existing FILE is replaced only once a box has woken up")
        .text("--pcap", pcapPath, "FILE",
              "capture every DSM-CC message of the download, both ways, in FILE (pcap, UDP port "
              "13819, for Wireshark or tshark)")
        .flag("-q,--quiet", quiet, "no progress display, only the outcome and errors")
        .flag("--trace", trace, "every transfer on the port, with timestamps, on stderr")
        .positional("IMAGE", imagePath, "the download image (.dl)")
        .footer("Exit status: 0 download complete, 1 download error, 2 set top box not\n"
                "responding, 3 port failure, 4 aborted, 5 image not loadable, 64 wrong usage,\n"
                "73 the log or the capture cannot be written.");
    if (const int status = cmd.parse(argc, argv); status != args::PROCEED) {
        return status;
    }
    if (port.empty()) {
        return cmd.fail("--port needs a device name");
    }

    Console console(port.c_str(), quiet);
    // Kept for the whole process, like the window's one instance: the rows point into it.
    static DownloadInfoResponse* record = new DownloadInfoResponse{};
    static DownloadImage* image = new DownloadImage;
    LoadStatus status;
    if (!loadImage(*record, imagePath.c_str(), *image, &status)) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM,
                     describeLoadFailure(imagePath.c_str(), status).c_str());
        return EXIT_IMAGE_NOT_LOADABLE;
    }

    // The image is checked first, so that a mistyped command line cannot destroy it.
    LogFile log;
    if (!logPath.empty()) {
        std::error_code ignored;
        if (std::filesystem::equivalent(logPath, imagePath, ignored)) {
            return cmd.fail("the log " + logPath + " is the image itself");
        }
        if (!log.open(logPath.c_str())) {
            std::fprintf(stderr, "%s: cannot write the log %s: %s\n", PROGRAM, logPath.c_str(),
                         std::strerror(errno));
            return EXIT_CANNOT_WRITE;
        }
    }

    if (!pcapPath.empty()) {
        std::error_code ignored;
        if (std::filesystem::equivalent(pcapPath, imagePath, ignored)) {
            return cmd.fail("the capture " + pcapPath + " is the image itself");
        }
        if (!writable(pcapPath)) {
            std::fprintf(stderr, "%s: cannot write the capture %s: %s\n", PROGRAM, pcapPath.c_str(),
                         std::strerror(errno));
            return EXIT_CANNOT_WRITE;
        }
    }

    RunnerOptions options;
    options.port = port;
    options.trace = trace;
    static PortRunner* runner = new PortRunner(options, *record, image->size());
    g_runner = runner;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    console.info(("Waiting for the set top box (" + imagePath + ", " + groupDigits(image->size()) +
                  " bytes).")
                     .c_str());

    ServeObserver observer(console, logPath.empty() ? nullptr : &log, pcapPath);
    const AttemptReport report = runner->runAttempt(observer);
    g_runner = nullptr;
    return reportOutcome(console, report, port);
}

} // namespace kestrune::cli
