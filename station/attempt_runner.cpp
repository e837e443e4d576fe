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
    void logNote(const char* text) override { logText(text); }
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

// Reads who the box is from its DownloadInfoRequest once the handshake has received it, on the
// session thread, and lets the session answer only a box that the guard admits: one it refuses
// gets no DownloadInfoResponse and no block. Without a guard every box is admitted.
class PortRunner::Gate final : public RequestGate {
public:
    explicit Gate(PortRunner& runner) : runner_(runner) {}

    bool admit(int received, const uint8_t* request, uint32_t length) override {
        const bool read = length >= 4 && readU16BE(request + 2) == DSMCC_DOWNLOAD_INFO_REQUEST;
        if (read) {
            readBoxIdentity(runner_.identity_, request, length);
        }
        runner_.requestResult_ = received;
        bool admitted =
            runner_.options_.release != nullptr
                ? chooseImage(received)
                : checkBox(runner_.options_.guard, received, runner_.identity_) == BoxRefusal::None;
        if (admitted && read && runner_.options_.unitCheck != nullptr) {
            runner_.unit_ = runner_.options_.unitCheck->check(
                runner_.identity_, runner_.observer_->scanOfReturningBox(runner_.identity_));
            runner_.unitAsked_ = true;
            admitted = runner_.unit_.refusal.empty();
        }
        if (!admitted) {
            runner_.wrongBox_.store(true);
        }
        if (read) {
            runner_.identitySeen_.store(true);
        }
        return admitted;
    }

private:
    // The entry the box fits, its image's rows put where the session serves from (copies of
    // fixed size: no allocation), and the front end told the download's new size.
    bool chooseImage(int received) {
        int entry = -1;
        if (checkReleaseBox(*runner_.options_.release, received, runner_.identity_, entry) !=
            BoxRefusal::None) {
            return false;
        }
        const release::ServedImage& image = *runner_.options_.images[static_cast<size_t>(entry)];
        SessionContext& ctx = *runner_.ctx_;
        ctx.response.numberOfModules = image.response.numberOfModules;
        std::copy(std::begin(image.response.modules), std::end(image.response.modules),
                  std::begin(ctx.response.modules));
        ctx.link.imageSize = image.image.size();
        runner_.entry_ = entry;
        runner_.reporter_->showProgress();
        return true;
    }

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
    gate_ = std::make_unique<Gate>(*this);
    ctx_->gate = gate_.get();
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

void PortRunner::beat() {
    lastTickMs_.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count(),
                      std::memory_order_relaxed);
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
        beat();
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
    ThreadStarter& threads = options_.threads != nullptr ? *options_.threads : systemThreads();
    sessionThreadError_ = threads.start(session_, [this] { runSession(*ctx_, *startEvent_); });
    if (!sessionThreadError_.empty()) {
        // No session will ask for its end: the attempt ends here, as a session would end it.
        std::lock_guard<std::mutex> lock(mutex_);
        endRequested_ = true;
        wake_.notify_all();
    }
}

void PortRunner::stopSession() {
    if (!session_.joinable()) {
        return; // its thread never started
    }
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
    sessionThreadError_.clear();
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
    unit_ = {};
    unitAsked_ = false;
    requestResult_ = 0;
    entry_ = -1;
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
            sessionFinished_ = sessionThreadError_.empty();
            end = AttemptEnd::SessionEnded;
            control_->onAbort();
            break;
        }
        if (start) {
            control_->onStart();
        }
        if (Clock::now() >= nextTick) {
            beat();
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
    report.framesResent = ctx.link.framesResent;
    report.entry = entry_;
    if (options_.release != nullptr && entry_ < 0) {
        report.moduleBytes = 0; // no image was chosen for this box
    }
    report.naks = watch_->naks;
    report.crcErrors = watch_->crcErrors;
    report.firstRequestMs = watch_->firstRequestMs;
    if (identitySeen_.load()) {
        report.identity = identity_;
        report.unitSerial = unit_.serial;
        report.unitSerialFrom = unit_.from;
        report.unitNote = unit_.note;
        report.unitAsked = unitAsked_;
        report.unitScan = unit_.scan;
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
    facts.requestResult = requestResult_;
    facts.identity = &report.identity;
    facts.unitRefusal = unit_.refusal;
    facts.guard = options_.guard;
    facts.release = options_.release;
    facts.sessionThreadError = sessionThreadError_;
    if (end == AttemptEnd::PortNotOpened || !facts.downloadPortOpened) {
        facts.portProblem = describePortProblem(systemPort_->lastOpenError(), options_.port);
    }
    const Verdict verdict = judgeAttempt(facts, options_.port);
    report.outcome = verdict.outcome;
    report.reason = verdict.reason;
    if (report.boxWoke && report.outcome != Outcome::Complete && watch_->frame.dataBlock) {
        report.stoppedInBlock = true;
        report.stoppedModule = watch_->frame.moduleId;
        report.stoppedBlock = watch_->frame.blockNumber;
    }
    if (report.outcome == Outcome::PortFailure) {
        report.portOpenError = systemPort_->lastOpenError();
        report.portError = systemPort_->lastError();
    }
    return report;
}

} // namespace kestrune::station
