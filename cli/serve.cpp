// kestrune-cli serve: one download attempt on one serial port, with the same control as the
// window: the wake-up watch polled every 100 ms, the session on a worker thread, the stall
// watchdog, and one Abort that ends every attempt.
//
// Exit status: 0 download complete; 1 download error; 2 the box did not respond (watchdog);
// 3 the port could not be opened; 4 aborted (Ctrl-C or SIGTERM); 5 the image could not be
// loaded; 64 wrong usage.

#include "cli/cli.h"
#include "dsmcc/codec.h"
#include "image/image_loader.h"
#include "link/system_serial_port.h"
#include "session/download_control.h"
#include "session/session.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <io.h>
#define KESTRUNE_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define KESTRUNE_ISATTY(fd) isatty(fd)
#endif

namespace kestrune::cli {
namespace {

constexpr int EXIT_DOWNLOAD_ERROR = 1;
constexpr int EXIT_NOT_RESPONDING = 2;
constexpr int EXIT_PORT_FAILURE = 3;
constexpr int EXIT_ABORTED = 4;
constexpr int EXIT_BAD_IMAGE = 5;

using Clock = std::chrono::steady_clock;

// Set from the signal handler; the port to cancel so that a blocked transfer returns.
std::atomic<int> g_signal{0};
SystemSerialPort* g_port = nullptr;

extern "C" void onSignal(int signal) {
    g_signal.store(signal);
    if (g_port != nullptr) {
        g_port->cancel();
    }
}

void printUsage(FILE* out) {
    std::fputs("usage: kestrune-cli serve [--port DEVICE] [--log FILE] [--quiet] [--trace] IMAGE\n"
               "\n"
               "Waits for a set top box on DEVICE and downloads IMAGE (.dl) to it: start the\n"
               "command, then power up the box.\n"
               "\n"
               "  --port DEVICE  serial port (default COM1, which is /dev/ttyS0 on Linux)\n"
               "  --log FILE     write the Test Log (banner, wake-up byte, one line per block,\n"
               "                 closing line) to FILE\n"
               "  --quiet        no progress display, only the outcome and errors\n"
               "  --trace        every transfer on the port, with timestamps, on stderr\n"
               "\n"
               "Exit status: 0 download complete, 1 download error, 2 set top box not\n"
               "responding, 3 port failure, 4 aborted, 5 image not loadable, 64 usage.\n",
               out);
}

// Everything the command prints: one line per event on stderr, each naming the port.
class Console {
public:
    Console(const char* port, bool quiet) : port_(port), quiet_(quiet) {
        tty_ = KESTRUNE_ISATTY(2) != 0;
    }

    // A message with a caption, each line of the text prefixed by the port.
    void message(const char* caption, const char* text, bool always = true) {
        if (quiet_ && !always) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        endBarLocked();
        std::string out;
        const char* line = text;
        bool first = true;
        while (line != nullptr) {
            const char* end = std::strchr(line, '\n');
            out += port_;
            out += ": ";
            if (first && caption != nullptr) {
                out += caption;
                out += ": ";
            }
            out.append(line, end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line));
            out += '\n';
            line = end != nullptr ? end + 1 : nullptr;
            first = false;
        }
        std::fputs(out.c_str(), stderr);
        std::fflush(stderr);
    }

    void info(const char* text) { message(nullptr, text, false); }

    void progressStart(uint32_t imageSize) {
        std::lock_guard<std::mutex> lock(mutex_);
        imageSize_ = imageSize;
        started_ = Clock::now();
        lastDecile_ = -1;
    }

    void progress(const char* status, uint32_t bytesSent, int percent) {
        if (quiet_) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!tty_) {
            // Plain lines for logs and pipes: one per tenth of the image.
            const int decile = percent >= 100 ? 10 : percent / 10;
            if (decile != lastDecile_) {
                lastDecile_ = decile;
                std::fprintf(stderr, "%s: %s\n", port_, status);
                std::fflush(stderr);
            }
            return;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        const double rate = seconds > 0.05 ? bytesSent / seconds : 0.0;
        const int shown = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
        char bar[31];
        const int filled = shown * 30 / 100;
        for (int i = 0; i < 30; ++i) {
            bar[i] = i < filled ? '#' : '.';
        }
        bar[30] = '\0';
        char left[32] = "--:--";
        if (rate > 0.0 && bytesSent < imageSize_) {
            const auto secondsLeft = static_cast<unsigned long>((imageSize_ - bytesSent) / rate);
            std::snprintf(left, sizeof left, "%lu:%02lu", secondsLeft / 60, secondsLeft % 60);
        } else if (bytesSent >= imageSize_) {
            std::snprintf(left, sizeof left, "0:00");
        }
        std::fprintf(stderr, "\r%s: [%s] %s  %lu/%lu bytes  %.1f kB/s  %s left\033[K", port_, bar,
                     status + (std::strncmp(status, "Download ", 9) == 0 ? 9 : 0),
                     static_cast<unsigned long>(bytesSent), static_cast<unsigned long>(imageSize_),
                     rate / 1000.0, left);
        std::fflush(stderr);
        barShown_ = true;
    }

    void progressEnd() {
        std::lock_guard<std::mutex> lock(mutex_);
        endBarLocked();
    }

private:
    void endBarLocked() {
        if (barShown_) {
            std::fputc('\n', stderr);
            barShown_ = false;
        }
    }

    const char* port_;
    bool quiet_;
    bool tty_ = false;
    bool barShown_ = false;
    std::mutex mutex_;
    uint32_t imageSize_ = 0;
    Clock::time_point started_ = Clock::now();
    int lastDecile_ = -1;
};

// The session thread's stop: set by Abort, after which the session touches neither the port
// (the port is cancelled too) nor the console, and its pauses return at once.
struct StopFlag {
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable changed;

    void stop() {
        stopping.store(true);
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_all();
    }
};

class StoppablePauser final : public Pauser {
public:
    explicit StoppablePauser(StopFlag& stop) : stop_(stop) {}
    void pause(uint32_t ms) override {
        std::unique_lock<std::mutex> lock(stop_.mutex);
        stop_.changed.wait_for(lock, std::chrono::milliseconds(ms),
                               [this] { return stop_.stopping.load(); });
    }

private:
    StopFlag& stop_;
};

// Start signal: an auto-reset event.
class StartEvent final : public StartSignal {
public:
    void set() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
        cv_.notify_all();
    }
    void wait() override {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return signalled_; });
        signalled_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

// The main loop's mailbox: what the session thread and the tick ask the main thread to do.
struct Mailbox {
    std::mutex mutex;
    std::condition_variable wake;
    bool endRequested = false; // the session's End session (its Abort)
    bool startPosted = false;  // the tick's posted Start
    bool sessionDone = false;  // the session thread has left runSession

    void post(bool Mailbox::*flag) {
        std::lock_guard<std::mutex> lock(mutex);
        this->*flag = true;
        wake.notify_all();
    }
};

// Writes every transfer with its time since start, for a stalled download's post-mortem.
class TracingPort final : public SerialPort {
public:
    TracingPort(SerialPort& inner, const char* name) : inner_(inner), name_(name) {}

    bool openDownloadPort(const char* name) override {
        const bool ok = inner_.openDownloadPort(name);
        note("open download", ok ? "ok" : "failed");
        return ok;
    }
    void closeDownloadPort() override {
        inner_.closeDownloadPort();
        note("close download", "");
    }
    bool purge() override {
        const bool ok = inner_.purge();
        note("purge", ok ? "ok" : "failed");
        return ok;
    }
    int writeByte(uint8_t value) override {
        const int r = inner_.writeByte(value);
        dump("write", &value, 1, r);
        return r;
    }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        const int r = inner_.writeBlock(data, count);
        dump("write", data, count, r);
        return r;
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        const int r = inner_.readBlock(buffer, count, timeoutMs);
        dump("read ", buffer, *count, r);
        return r;
    }
    int readByte(uint8_t* value, uint32_t timeoutMs) override {
        const int r = inner_.readByte(value, timeoutMs);
        dump("read ", value, r == LINK_OK ? 1 : 0, r);
        return r;
    }
    bool openWatchPort(const char* name) override {
        const bool ok = inner_.openWatchPort(name);
        note("open watch", ok ? "ok" : "failed");
        return ok;
    }
    bool pollWatchByte() override {
        const bool got = inner_.pollWatchByte();
        if (got) {
            note("watch", "byte");
        }
        return got;
    }
    void closeWatchPort() override {
        inner_.closeWatchPort();
        note("close watch", "");
    }

private:
    double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    void note(const char* what, const char* how) {
        std::fprintf(stderr, "%s: trace %9.3f %s %s\n", name_, now(), what, how);
    }
    void dump(const char* what, const uint8_t* data, uint32_t count, int result) {
        char hex[3 * 16 + 1];
        uint32_t shown = count < 16 ? count : 16;
        for (uint32_t i = 0; i < shown; ++i) {
            std::snprintf(hex + 3 * i, 4, " %02X", data[i]);
        }
        hex[3 * shown] = '\0';
        std::fprintf(stderr, "%s: trace %9.3f %s %5lu bytes%s%s%s\n", name_, now(), what,
                     static_cast<unsigned long>(count), hex, count > shown ? " ..." : "",
                     result == LINK_OK ? "" : " (no data / failed)");
    }

    SerialPort& inner_;
    const char* name_;
    Clock::time_point start_ = Clock::now();
};

class Server;

class CliReporter final : public ProgressReporter {
public:
    CliReporter(Server& server) : server_(server) {}
    void showTestLog() override {}
    void showProgress() override;
    void postProgress(int percent) override { percent_ = percent; }
    void setStatusText(const char* text) override;
    void resetStallTicks() override;
    void disarm() override;
    void logText(const char* text) override;
    void showResult(const char* text, const char* caption, bool errorIcon) override;
    void endSession() override;

private:
    Server& server_;
    int percent_ = 0;
};

class Server final : public ControlSurface {
public:
    Server(const char* portName, bool quiet, FILE* log)
        : portName_(portName), console_(portName, quiet), log_(log) {}

    int run(const char* imagePath, bool trace);

    // ControlSurface.
    void showRestartDialog() override { console_.info("Restart the set top box."); }
    void destroyRestartDialog() override {}
    void setMenuBusy(bool) override {}
    void enableStartButton(bool) override {}
    void showMessage(ControlMessage, const char* text, const char* caption) override {
        console_.message(caption, text);
    }
    const char* portName() override { return portName_; }
    bool imageLoaded() override { return true; }
    void loadImage() override {}
    void setStartEvent() override { startEvent_.set(); }
    void createTestLog() override {}
    void startSession() override {
        console_.info("Set top box detected, download started.");
        {
            std::lock_guard<std::mutex> lock(mailbox_.mutex);
            mailbox_.sessionDone = false;
        }
        session_ = std::thread([this] {
            runSession(*ctx_, startEvent_);
            mailbox_.post(&Mailbox::sessionDone);
        });
    }
    void stopSession() override {
        if (sessionFinished_) {
            // The session asked for this Abort and is leaving runSession: its last
            // acknowledgement may still be on its way out, so the port is not cancelled.
            session_.join();
            return;
        }
        stop_.stop();
        systemPort_->cancel();
        // The session never waits for the main thread here, so it ends promptly: every
        // transfer and pause now returns at once. A Win32 read already blocked in ReadFile
        // ends only at its own time-out; then the process leaves without it.
        std::unique_lock<std::mutex> lock(mailbox_.mutex);
        if (mailbox_.wake.wait_for(lock, std::chrono::seconds(2),
                                   [this] { return mailbox_.sessionDone; })) {
            lock.unlock();
            session_.join();
        } else {
            lock.unlock();
            session_.detach();
            detached_ = true;
        }
    }
    void postStart() override { mailbox_.post(&Mailbox::startPosted); }
    void resetProgressDisplay() override { console_.progressEnd(); }
    void drawReadyLamp() override {}

private:
    friend class CliReporter;

    const char* portName_;
    Console console_;
    FILE* log_;
    StopFlag stop_;
    StartEvent startEvent_;
    Mailbox mailbox_;
    std::thread session_;
    bool detached_ = false;
    bool sessionFinished_ = false;
    std::unique_ptr<SystemSerialPort> systemPort_;
    std::unique_ptr<TracingPort> tracingPort_;
    std::unique_ptr<StoppablePauser> pauser_;
    std::unique_ptr<CliReporter> reporter_;
    std::unique_ptr<SessionContext> ctx_;
    std::unique_ptr<DownloadControl> control_;
    DownloadImage image_;
};

void CliReporter::showProgress() {
    if (!server_.stop_.stopping.load()) {
        server_.console_.progressStart(server_.ctx_->link.imageSize);
    }
}
void CliReporter::setStatusText(const char* text) {
    if (!server_.stop_.stopping.load()) {
        server_.console_.progress(text, server_.ctx_->link.bytesSent, percent_);
    }
}
void CliReporter::resetStallTicks() {
    server_.control_->resetStallTicks();
}
void CliReporter::disarm() {
    server_.control_->disarm();
}
void CliReporter::logText(const char* text) {
    if (server_.log_ != nullptr && !server_.stop_.stopping.load()) {
        std::fputs(text, server_.log_);
        std::fflush(server_.log_);
    }
}
void CliReporter::showResult(const char* text, const char* caption, bool) {
    if (!server_.stop_.stopping.load()) {
        server_.console_.progressEnd();
        server_.console_.message(caption, text);
    }
}
void CliReporter::endSession() {
    if (!server_.stop_.stopping.load()) {
        server_.mailbox_.post(&Mailbox::endRequested);
    }
}

void portErrorSink(void* context, const char* text, const char* caption) {
    static_cast<Console*>(context)->message(caption, text);
}

int Server::run(const char* imagePath, bool trace) {
    systemPort_ = createSystemSerialPort(portErrorSink, &console_);
    SerialPort* port = systemPort_.get();
    if (trace) {
        tracingPort_ = std::make_unique<TracingPort>(*systemPort_, portName_);
        port = tracingPort_.get();
    }
    pauser_ = std::make_unique<StoppablePauser>(stop_);
    reporter_ = std::make_unique<CliReporter>(*this);
    // The one session context of this process.
    ctx_ = std::make_unique<SessionContext>(*port, *pauser_, *reporter_);
    control_ = std::make_unique<DownloadControl>(*port, *this);

    LoadStatus status;
    if (!kestrune::loadImage(ctx_->response, imagePath, image_, &status)) {
        std::string text = std::string(imagePath) + ": Incorrect file format!";
        if (status.error == LoadError::Open || status.error == LoadError::Size ||
            (status.error == LoadError::Map && status.systemError != 0)) {
            text += " (" + describeSystemError(status.systemError) + ")";
        }
        console_.message("Error", text.c_str());
        return EXIT_BAD_IMAGE;
    }
    initResponseHeader(ctx_->response);
    ctx_->link.imageSize = image_.size();

    g_port = systemPort_.get();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    char waiting[160];
    std::snprintf(waiting, sizeof waiting, "Waiting for the set top box (%s, %lu bytes).",
                  imagePath, static_cast<unsigned long>(image_.size()));
    console_.info(waiting);

    control_->onStart();
    bool aborted = false;
    bool sessionEnded = false;
    Clock::time_point nextTick = Clock::now();
    for (;;) {
        if (g_signal.load() != 0) {
            aborted = true;
            control_->onAbort();
            break;
        }
        bool start = false;
        bool end = false;
        {
            std::lock_guard<std::mutex> lock(mailbox_.mutex);
            start = std::exchange(mailbox_.startPosted, false);
            end = std::exchange(mailbox_.endRequested, false);
        }
        if (end) {
            sessionEnded = true;
            sessionFinished_ = true;
            control_->onAbort();
            break;
        }
        if (start) {
            control_->onStart();
        }
        if (Clock::now() >= nextTick) {
            control_->onTick();
            nextTick += std::chrono::milliseconds(100);
            if (Clock::now() > nextTick + std::chrono::seconds(1)) {
                nextTick = Clock::now(); // fell far behind: do not burst
            }
            if (control_->state() == DownloadControl::State::Idle) {
                break; // the port failed or the watchdog ended the attempt
            }
        }
        std::unique_lock<std::mutex> lock(mailbox_.mutex);
        mailbox_.wake.wait_until(lock, nextTick,
                                 [this] { return mailbox_.endRequested || mailbox_.startPosted; });
    }
    g_port = nullptr;

    int code = EXIT_DOWNLOAD_ERROR;
    if (aborted) {
        console_.message(nullptr, "Aborted.");
        code = EXIT_ABORTED;
    } else if (control_->lastFailure() == DownloadControl::Failure::PortFailure) {
        code = EXIT_PORT_FAILURE;
    } else if (control_->lastFailure() == DownloadControl::Failure::NotResponding) {
        code = EXIT_NOT_RESPONDING;
    } else if (sessionEnded && !control_->downloadPortOpened()) {
        code = EXIT_PORT_FAILURE;
    } else if (sessionEnded) {
        code = ctx_->lastSucceeded ? 0 : EXIT_DOWNLOAD_ERROR;
    }
    if (detached_) {
        // A session thread still blocked in the platform's read: leave without it.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}

} // namespace

int runServe(int argc, char** argv) {
    const char* port = "COM1";
    const char* logPath = nullptr;
    const char* imagePath = nullptr;
    bool quiet = false;
    bool trace = false;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (std::strcmp(arg, "--port") == 0 && i + 1 < argc) {
            port = argv[++i];
        } else if (std::strncmp(arg, "--port=", 7) == 0) {
            port = arg + 7;
        } else if (std::strcmp(arg, "--log") == 0 && i + 1 < argc) {
            logPath = argv[++i];
        } else if (std::strncmp(arg, "--log=", 6) == 0) {
            logPath = arg + 6;
        } else if (std::strcmp(arg, "--quiet") == 0 || std::strcmp(arg, "-q") == 0) {
            quiet = true;
        } else if (std::strcmp(arg, "--trace") == 0) {
            trace = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "kestrune-cli serve: unknown option %s\n", arg);
            printUsage(stderr);
            return EXIT_USAGE;
        } else if (imagePath == nullptr) {
            imagePath = arg;
        } else {
            std::fprintf(stderr, "kestrune-cli serve: one image only (%s)\n", arg);
            return EXIT_USAGE;
        }
    }
    if (imagePath == nullptr || port[0] == '\0') {
        printUsage(stderr);
        return EXIT_USAGE;
    }

    FILE* log = nullptr;
    if (logPath != nullptr) {
        log = std::fopen(logPath, "wb");
        if (log == nullptr) {
            std::fprintf(stderr, "kestrune-cli serve: cannot write %s: %s\n", logPath,
                         std::strerror(errno));
            return EXIT_USAGE;
        }
    }
    // Kept for the whole process, like the window's one instance.
    static Server* server = new Server(port, quiet, log);
    const int code = server->run(imagePath, trace);
    if (log != nullptr) {
        std::fclose(log);
    }
    return code;
}

} // namespace kestrune::cli
