#include "cli/port_runner.h"

#include "cli/console.h"
#include "cli/tracing_port.h"
#include "dsmcc/codec.h"

#include <utility>

namespace kestrune::cli {

using Clock = std::chrono::steady_clock;

std::string describeResultCode(int code) {
    switch (code) {
    case 0:
        return "the box ended the download early";
    case LINK_ERR_IO:
        return "no answer from the box within the time-out (result 512)";
    case LINK_ERR_RETRIES:
        return "a frame failed 10 attempts (result 513)";
    case DSMCC_ERR_DISCRIMINATOR:
        return "a malformed request: protocolDiscriminator is not 0x11 (result 1312)";
    case DSMCC_ERR_TYPE:
        return "a malformed request: dsmccType is not 3 (result 1313)";
    case DSMCC_ERR_ADAPTATION:
        return "a malformed request: adaptationLength is not a multiple of 4 (result 1314)";
    case DSMCC_ERR_PROTOCOL:
        return "an unexpected or truncated request, or a wrong downloadId (result 1315)";
    case DSMCC_ERR_COMPATIBILITY:
        return "a malformed request: no compatibility descriptor of type 1 (result 1319)";
    default:
        return "result " + std::to_string(code);
    }
}

std::string describePortProblem(PortFailure failure, const std::string& port) {
    switch (failure) {
    case PortFailure::NotFound:
        return port + " does not exist; check --port";
    case PortFailure::PermissionDenied:
        return "no permission to open " + port +
               "; add your user to the dialout group (sudo usermod -aG dialout $USER) and log "
               "in again";
    case PortFailure::Busy:
        return port + " is busy: another program has it open; close that program first";
    case PortFailure::NotSerialPort:
        return port + " is not a serial port; check --port";
    case PortFailure::Settings:
        return port + " refused the line settings";
    case PortFailure::None:
    case PortFailure::Other:
        break;
    }
    return port + " cannot be opened";
}

std::string explainOutcome(const AttemptReport& report, const std::string& port) {
    const auto howFar = [&] {
        return groupDigits(report.deliveredBytes) + " of " + groupDigits(report.moduleBytes) +
               " module bytes";
    };
    switch (report.outcome) {
    case Outcome::Complete:
        return "";
    case Outcome::DownloadError:
        if (report.resultCode == 0) {
            return "the box ended the download after " + howFar();
        }
        if (!report.responseAccepted) {
            return "the box never accepted the DownloadInfoResponse: " +
                   describeResultCode(report.resultCode);
        }
        return describeResultCode(report.resultCode) + "; the box got " + howFar();
    case Outcome::NotResponding:
        return report.boxWoke
                   ? "the box stopped answering during the download (20 s without a frame sent)"
                   : "no box woke up within 20 s";
    case Outcome::PortFailure:
        return describePortProblem(report.portFailure, port);
    case Outcome::Aborted:
        break;
    }
    return "stopped from outside";
}

// The session's front end: forwards to the observer until the attempt is stopped, and the
// session's two plain stores to the control.
class PortRunner::Reporter final : public ProgressReporter {
public:
    explicit Reporter(PortRunner& runner) : runner_(runner) {}
    void showTestLog() override {}
    void showProgress() override {
        if (live()) {
            runner_.observer_->progressStarted(runner_.ctx_->link.imageSize);
        }
    }
    void postProgress(int) override {}
    void setStatusText(const char* text) override {
        if (live()) {
            runner_.observer_->progress(text, runner_.ctx_->link.bytesSent);
        }
    }
    void resetStallTicks() override { runner_.control_->resetStallTicks(); }
    void disarm() override { runner_.control_->disarm(); }
    void logText(const char* text) override {
        if (live()) {
            runner_.observer_->logText(text);
        }
    }
    // The command line reports the outcome itself, once the attempt is over.
    void showResult(const char*, const char*, bool) override {}
    void endSession() override {
        if (live()) {
            std::lock_guard<std::mutex> lock(runner_.mutex_);
            runner_.endRequested_ = true;
            runner_.wake_.notify_all();
        }
    }

private:
    bool live() const { return !runner_.stopping_.load(); }
    PortRunner& runner_;
};

class PortRunner::StopPauser final : public Pauser {
public:
    explicit StopPauser(PortRunner& runner) : runner_(runner) {}
    void pause(uint32_t ms) override {
        std::unique_lock<std::mutex> lock(runner_.mutex_);
        runner_.wake_.wait_for(lock, std::chrono::milliseconds(ms),
                               [this] { return runner_.stopping_.load(); });
    }

private:
    PortRunner& runner_;
};

// The session's start signal: an auto-reset event.
class PortRunner::StartEvent final : public StartSignal {
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

PortRunner::PortRunner(RunnerOptions options, const DownloadInfoResponse& image, uint32_t imageSize)
    : options_(std::move(options)) {
    // Overlapped on Windows, so that an Abort ends a read in progress and the session thread
    // can always be joined.
    systemPort_ = createSystemSerialPort(nullptr, nullptr, PortIo::Overlapped);
    SerialPort* port = systemPort_.get();
    if (options_.trace) {
        tracingPort_ = std::make_unique<TracingPort>(*systemPort_, options_.port);
        port = tracingPort_.get();
    }
    pauser_ = std::make_unique<StopPauser>(*this);
    reporter_ = std::make_unique<Reporter>(*this);
    startEvent_ = std::make_unique<StartEvent>();
    ctx_ = std::make_unique<SessionContext>(*port, *pauser_, *reporter_);
    ctx_->response = image;
    initResponseHeader(ctx_->response);
    ctx_->link.imageSize = imageSize;
    control_ = std::make_unique<DownloadControl>(*port, *this);
}

PortRunner::~PortRunner() {
    if (session_.joinable()) {
        stopping_.store(true);
        systemPort_->cancel();
        session_.join();
    }
}

void PortRunner::abort() {
    abortRequested_.store(true);
#ifndef _WIN32
    // A signal handler on POSIX: the cancel is async-signal-safe and wakes a blocked transfer.
    // On Windows the console control handler has a thread of its own that must not race with
    // the port's opens and closes: the attempt's loop sees the request within a tick and
    // cancels the port itself.
    systemPort_->cancel();
#endif
}

void PortRunner::stopWaiting() {
    stopWaitingRequested_.store(true);
}

bool PortRunner::portOpens(PortFailure& failure) {
    const bool opened = systemPort_->openWatchPort(options_.port.c_str());
    failure = systemPort_->lastFailure();
    systemPort_->closeWatchPort();
    return opened;
}

bool PortRunner::lineActive(uint32_t ms) {
    if (!systemPort_->openWatchPort(options_.port.c_str())) {
        return false;
    }
    bool active = false;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!active && Clock::now() < end && !abortRequested_.load()) {
        active = systemPort_->pollWatchByte();
    }
    systemPort_->closeWatchPort();
    return active;
}

void PortRunner::showRestartDialog() {
    observer_->waitingForBox();
}

void PortRunner::setStartEvent() {
    startEvent_->set();
}

void PortRunner::postStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    startPosted_ = true;
    wake_.notify_all();
}

void PortRunner::startSession() {
    sessionStarted_ = true;
    sessionStartedAt_ = std::chrono::system_clock::now();
    observer_->sessionStarted();
    ctx_->link.tap = observer_->frameTap();
    session_ = std::thread([this] { runSession(*ctx_, *startEvent_); });
}

void PortRunner::stopSession() {
    if (sessionFinished_) {
        // The session asked for this Abort and is leaving runSession: its last acknowledgement
        // may still be on its way out, so the port is not cancelled.
        session_.join();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_.store(true);
        wake_.notify_all();
    }
    // Every transfer and pause now returns at once, also a read in progress, so the session
    // ends promptly.
    systemPort_->cancel();
    session_.join();
}

AttemptReport PortRunner::runAttempt(AttemptObserver& observer) {
    observer_ = &observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        endRequested_ = false;
        startPosted_ = false;
    }
    sessionFinished_ = false;
    sessionStarted_ = false;
    stopping_.store(false);
    // Nothing of an earlier attempt may show in this one's report.
    ctx_->lastResult = 0;
    ctx_->lastSucceeded = false;
    ctx_->lastDeliveredBytes = 0;
    ctx_->lastModuleBytes = 0;
    ctx_->lastResponseAccepted = false;
    ctx_->lastWakeupByte = 0;
    downloadIdBefore_ = ctx_->response.downloadId;

    // Until a box wakes up, the attempt dates from its start (a port that fails to open).
    sessionStartedAt_ = std::chrono::system_clock::now();

    control_->onStart();
    bool aborted = false;
    Clock::time_point nextTick = Clock::now();
    for (;;) {
        const DownloadControl::State state = control_->state();
        const bool waiting =
            state == DownloadControl::State::Armed || state == DownloadControl::State::AwaitingBox;
        if (abortRequested_.load() || (waiting && stopWaitingRequested_.load())) {
            aborted = true;
            control_->onAbort();
            break;
        }
        bool start = false;
        bool end = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            start = std::exchange(startPosted_, false);
            end = std::exchange(endRequested_, false);
        }
        if (end) {
            sessionFinished_ = true;
            control_->onAbort();
            break;
        }
        if (start) {
            control_->onStart();
        }
        if (Clock::now() >= nextTick) {
            if (options_.waitIndefinitely && state == DownloadControl::State::AwaitingBox) {
                control_->resetStallTicks();
            }
            control_->onTick();
            nextTick += std::chrono::milliseconds(100);
            if (Clock::now() > nextTick + std::chrono::seconds(1)) {
                nextTick = Clock::now(); // fell far behind: do not burst
            }
            if (control_->state() == DownloadControl::State::Idle) {
                break; // the port failed or the watchdog ended the attempt
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, nextTick, [this] { return endRequested_ || startPosted_; });
    }
    ctx_->link.tap = nullptr;
    AttemptReport report = finish(aborted);
    report.started = sessionStartedAt_;
    observer.sessionEnded();
    observer_ = nullptr;
    return report;
}

AttemptReport PortRunner::finish(bool aborted) {
    AttemptReport report;
    report.ended = std::chrono::system_clock::now();
    const SessionContext& ctx = *ctx_;
    report.boxWoke = sessionStarted_;
    report.sessionRan = sessionFinished_;
    report.resultCode = ctx.lastResult;
    report.deliveredBytes = ctx.lastDeliveredBytes;
    report.moduleBytes = ctx.lastModuleBytes;
    report.responseAccepted = ctx.lastResponseAccepted;
    report.wakeupByte = ctx.lastWakeupByte;
    // The handshake's figures only when this attempt got as far as a handshake of its own.
    if (ctx.response.downloadId != downloadIdBefore_) {
        report.downloadId = ctx.response.downloadId;
        report.blockSize = ctx.response.blockSize;
        report.windowSize = ctx.response.windowSize;
        report.ackPeriod = ctx.response.ackPeriod;
    }
    report.framesResent = ctx.link.framesResent;
    report.portFailure = systemPort_->lastFailure();
    report.portError = systemPort_->lastError();

    // One outcome, whatever else happened on the way: a box that has its image is complete
    // even when closing the port failed afterwards.
    if (report.sessionRan && ctx.lastSucceeded) {
        report.outcome = Outcome::Complete;
    } else if (aborted) {
        report.outcome = Outcome::Aborted;
    } else if (control_->lastFailure() == DownloadControl::Failure::PortFailure ||
               (report.sessionRan && !control_->downloadPortOpened())) {
        report.outcome = Outcome::PortFailure;
    } else if (control_->lastFailure() == DownloadControl::Failure::NotResponding) {
        report.outcome = Outcome::NotResponding;
    } else {
        report.outcome = Outcome::DownloadError;
    }
    if (report.outcome != Outcome::PortFailure) {
        report.portFailure = PortFailure::None;
        report.portError.clear();
    }
    return report;
}

} // namespace kestrune::cli
