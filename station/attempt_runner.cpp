#include "station/attempt_runner.h"

#include "capture/tracing_port.h"
#include "dsmcc/codec.h"
#include "link/port_advice.h"

#include <utility>

namespace kestrune::station {

using Clock = std::chrono::steady_clock;

std::string describePortProblem(PortOpenError failure, const std::string& port) {
    switch (failure) {
    case PortOpenError::NotFound:
        return missingPortAdvice(port);
    case PortOpenError::PermissionDenied:
        return "no permission to open " + port + ": " + permissionAdvice(port);
    case PortOpenError::Busy:
        return port + " is busy: another program has it open; close that program first";
    case PortOpenError::NotSerialPort:
        return port + " is not a serial port; check --port";
    case PortOpenError::Settings:
        return port + " refused the line settings";
    case PortOpenError::None:
    case PortOpenError::Other:
        break;
    }
    return port + " cannot be opened";
}

// The session's front end: forwards to the observer until the attempt is stopped, and the
// session's two plain stores to the control.
class PortRunner::Reporter final : public ProgressReporter {
public:
    explicit Reporter(PortRunner& runner) : runner_(runner) {}
    void showTestLog() override {}
    void showProgress() override {
        if (live()) {
            runner_.observer_->progressStarted(servedModuleBytes(runner_.ctx_->response));
        }
    }
    void postProgress(int) override {}
    // After every frame sent: what the box has acknowledged, not what went out, so that a
    // failing download never shows its whole size.
    void setStatusText(const char*) override {
        if (live()) {
            runner_.observer_->progress(deliveredModuleBytes(*runner_.ctx_));
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

// Reads who the box is from its DownloadInfoRequest as the link accepts it, on the session
// thread, before the request is acknowledged: a box that is not the expected hardware gets no
// DownloadInfoResponse, because the port is cancelled here and nothing more reaches it. Every
// frame goes on to the observer's tap (a capture).
class PortRunner::IdentityTap final : public FrameTap {
public:
    explicit IdentityTap(PortRunner& runner) : runner_(runner) {}
    FrameTap* next = nullptr;

    void onFrame(FrameDirection direction, const uint8_t* payload, uint32_t length) override {
        if (direction == FrameDirection::FromBox && !runner_.identitySeen_.load() && length >= 4 &&
            readU16BE(payload + 2) == DSMCC_DOWNLOAD_INFO_REQUEST) {
            readBoxIdentity(runner_.identity_, payload, length);
            if (!hardwareMatches(runner_.options_.guard, runner_.identity_)) {
                runner_.resentAtRefusal_ = runner_.ctx_->link.framesResent;
                runner_.wrongBox_.store(true);
                runner_.systemPort_->cancel();
            }
            runner_.identitySeen_.store(true);
        }
        if (next != nullptr) {
            next->onFrame(direction, payload, length);
        }
    }

private:
    PortRunner& runner_;
};

PortRunner::PortRunner(RunnerOptions options, const DownloadInfoResponse& image, uint32_t imageSize)
    : options_(std::move(options)) {
    // Overlapped on Windows, so that an Abort ends a read in progress and the session thread
    // can always be joined. A USB adapter's latency is low while the download port is open.
    systemPort_ = createSystemSerialPort(nullptr, nullptr, PortIo::Overlapped,
                                         PortLatency::LowWhileDownloading);
    SerialPort* port = systemPort_.get();
    if (options_.trace) {
        tracingPort_ = std::make_unique<capture::TracingPort>(*systemPort_, options_.port);
        port = tracingPort_.get();
    }
    watch_ = std::make_unique<LinkWatch>(*port);
    pauser_ = std::make_unique<StopPauser>(*this);
    reporter_ = std::make_unique<Reporter>(*this);
    startEvent_ = std::make_unique<StartEvent>();
    ctx_ = std::make_unique<SessionContext>(*watch_, *pauser_, *reporter_);
    ctx_->response = image;
    initResponseHeader(ctx_->response);
    ctx_->link.imageSize = imageSize;
    control_ = std::make_unique<DownloadControl>(*port, *this);
    identityTap_ = std::make_unique<IdentityTap>(*this);
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
}

void PortRunner::stopWaiting() {
    stopWaitingRequested_.store(true);
}

bool PortRunner::abortWanted() const {
    return abortRequested_.load() || (options_.stop != nullptr && options_.stop->aborting());
}

bool PortRunner::stopWaitingWanted() const {
    return stopWaitingRequested_.load() || (options_.stop != nullptr && options_.stop->stopping());
}

bool PortRunner::portOpens(PortOpenError& failure) {
    const bool opened = systemPort_->openWatchPort(options_.port.c_str());
    failure = systemPort_->lastOpenError();
    systemPort_->closeWatchPort();
    return opened;
}

bool PortRunner::lineActive(uint32_t ms) {
    if (!systemPort_->openWatchPort(options_.port.c_str())) {
        return false;
    }
    bool active = false;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!active && Clock::now() < end && !stopWaitingWanted() && !abortWanted() &&
           !systemPort_->watchLost()) {
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
    identityTap_->next = observer_->frameTap();
    ctx_->link.tap = identityTap_.get();
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
    // Every transfer in progress and every later one returns at once, and every pause: the
    // session leaves promptly and is always joined, so nothing of it outlives the attempt.
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
    ctx_->delivery = {};
    ctx_->link.framesResent = 0;
    watch_->reset();
    identity_ = BoxIdentity{};
    identitySeen_.store(false);
    wrongBox_.store(false);
    bool identityShown = false;
    downloadIdBefore_ = ctx_->response.downloadId;

    // Until a box wakes up, the attempt dates from its start (a port that fails to open).
    sessionStartedAt_ = std::chrono::system_clock::now();

    control_->onStart();
    AttemptEnd end = AttemptEnd::SessionEnded;
    Clock::time_point nextTick = Clock::now();
    for (;;) {
        const DownloadControl::State state = control_->state();
        const bool waiting =
            state == DownloadControl::State::Armed || state == DownloadControl::State::AwaitingBox;
        if (abortWanted() || (waiting && stopWaitingWanted())) {
            end = AttemptEnd::Stopped;
            control_->onAbort();
            break;
        }
        bool start = false;
        bool ended = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            start = std::exchange(startPosted_, false);
            ended = std::exchange(endRequested_, false);
        }
        if (identitySeen_.load() && !identityShown) {
            identityShown = true;
            observer_->boxIdentified(identity_);
        }
        if (wrongBox_.load()) {
            end = AttemptEnd::WrongBox;
            control_->onAbort();
            break;
        }
        if (ended) {
            sessionFinished_ = true;
            end = AttemptEnd::SessionEnded;
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
                end = control_->lastFailure() == DownloadControl::Failure::PortNotOpened
                          ? AttemptEnd::PortNotOpened
                          : AttemptEnd::Watchdog;
                break;
            }
            if (!control_->wakeupSeen() && systemPort_->watchLost()) {
                // The device went away under the watch (an adapter unplugged, a pty whose
                // other side closed): a port failure like a failed open.
                end = AttemptEnd::PortLost;
                control_->onAbort();
                break;
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_until(lock, std::min(nextTick, Clock::now() + std::chrono::milliseconds(100)),
                         [this] { return endRequested_ || startPosted_; });
    }
    ctx_->link.tap = nullptr;
    AttemptReport report = finish(end);
    report.started = sessionStartedAt_;
    observer.sessionEnded();
    observer_ = nullptr;
    return report;
}

AttemptReport PortRunner::finish(AttemptEnd end) {
    AttemptReport report;
    report.ended = std::chrono::system_clock::now();
    const SessionContext& ctx = *ctx_;
    report.boxWoke = sessionStarted_;
    report.sessionRan = sessionFinished_;
    report.resultCode = ctx.lastResult;
    report.responseAccepted = ctx.lastResponseAccepted;
    // What was known when the attempt ended, also when it was cut short: the session thread
    // has been joined, so its context is settled.
    report.wakeupKnown = watch_->wakeupKnown;
    report.wakeupByte = watch_->wakeupByte;
    report.deliveredBytes = deliveredModuleBytes(ctx);
    report.moduleBytes = servedModuleBytes(ctx.response);
    // The handshake's figures only when this attempt got as far as a handshake of its own.
    if (ctx.response.downloadId != downloadIdBefore_) {
        report.downloadId = ctx.response.downloadId;
        report.blockSize = ctx.response.blockSize;
        report.windowSize = ctx.response.windowSize;
        report.ackPeriod = ctx.response.ackPeriod;
    }
    report.framesResent = wrongBox_.load() ? resentAtRefusal_ : ctx.link.framesResent;
    if (identitySeen_.load()) {
        report.identity = identity_;
    }

    AttemptFacts facts;
    facts.end = end;
    facts.boxWoke = report.boxWoke;
    facts.downloadPortOpened = !report.boxWoke || control_->downloadPortOpened();
    facts.sessionSucceeded = ctx.lastSucceeded; // judged in this attempt (reset at its start)
    facts.resultCode = report.resultCode;
    facts.responseAccepted = report.responseAccepted;
    facts.deliveredBytes = report.deliveredBytes;
    facts.moduleBytes = report.moduleBytes;
    facts.lastFrame = watch_->frame;
    facts.identity = &report.identity;
    facts.guard = options_.guard;
    if (end == AttemptEnd::PortNotOpened || !facts.downloadPortOpened) {
        facts.portProblem = describePortProblem(systemPort_->lastOpenError(), options_.port);
    }
    const Verdict verdict = judgeAttempt(facts, options_.port);
    report.outcome = verdict.outcome;
    report.reason = verdict.reason;
    if (report.outcome == Outcome::PortFailure) {
        report.portOpenError = systemPort_->lastOpenError();
        report.portError = systemPort_->lastError();
    }
    return report;
}

} // namespace kestrune::station
