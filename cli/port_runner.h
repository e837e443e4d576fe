#pragma once

// One serial port of the command line: its port, download control, session context and session
// thread, and the outcome of each attempt. `serve` runs one attempt on one runner; a station
// runs one runner per port, attempt after attempt.

#include "dsmcc/records.h"
#include "link/frame_tap.h"
#include "link/system_serial_port.h"
#include "session/download_control.h"
#include "session/session.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kestrune::cli {

enum class Outcome {
    Complete,      // the box holds its whole image and said so
    DownloadError, // the session ended without delivering the whole image
    NotResponding, // the watchdog ended the attempt
    PortFailure,   // the port could not be opened
    Aborted,       // stopped from outside (a signal)
};

// Everything known about one attempt once it has ended.
struct AttemptReport {
    Outcome outcome = Outcome::Aborted;
    bool boxWoke = false;    // the wake-up byte arrived and the session started
    bool sessionRan = false; // the session reached its judgement
    int resultCode = 0;      // the data phase's result code (when the session ran)
    uint64_t deliveredBytes = 0;
    uint64_t moduleBytes = 0;
    bool responseAccepted = false;
    uint8_t wakeupByte = 0;
    uint32_t downloadId = 0;
    uint16_t blockSize = 0;
    uint8_t windowSize = 0;
    uint8_t ackPeriod = 0;
    uint32_t framesResent = 0;
    PortFailure portFailure = PortFailure::None;
    std::string portError; // e.g. "open /dev/ttyUSB0: Permission denied"
    // When the box woke up (or, when none did, when the attempt began), and when it ended.
    std::chrono::system_clock::time_point started{};
    std::chrono::system_clock::time_point ended{};
};

// What one attempt shows its front end. Called on the runner's thread except logText and
// progress, which come from the session thread (never both at once for one runner).
class AttemptObserver {
public:
    virtual ~AttemptObserver() = default;
    virtual void waitingForBox() {}
    virtual void sessionStarted() {}
    virtual void progressStarted(uint32_t) {}
    virtual void progress(const char*, uint32_t) {}
    // The Test Log text of the session, piece by piece.
    virtual void logText(const char*) {}
    virtual void sessionEnded() {}
    // Told of every frame the link accepts during the session (a capture file); none when null.
    // Asked once, when the session starts.
    virtual FrameTap* frameTap() { return nullptr; }
};

struct RunnerOptions {
    std::string port;
    bool trace = false;
    // A station waits for its boxes for as long as it takes: no watchdog before the wake-up.
    bool waitIndefinitely = false;
};

// Sentences for an operator about an attempt's end, in the command line's own words.
std::string describeResultCode(int code);
std::string describePortProblem(PortFailure failure, const std::string& port);
// Why an attempt did not complete ("the box ended the download after 4,096 of 34,768 module
// bytes"); "" for a complete one.
std::string explainOutcome(const AttemptReport& report, const std::string& port);

class PortRunner final : public ControlSurface {
public:
    // `image` is the loaded image's record (module rows into a mapping that outlives the
    // runner); its rows are copied into this runner's own session context.
    PortRunner(RunnerOptions options, const DownloadInfoResponse& image, uint32_t imageSize);
    ~PortRunner() override;
    PortRunner(const PortRunner&) = delete;
    PortRunner& operator=(const PortRunner&) = delete;

    // One attempt: Start, the wake-up watch, the session, its end. Blocks until the attempt is
    // over and returns what happened.
    AttemptReport runAttempt(AttemptObserver& observer);

    // Safe from any thread and, on POSIX, from a signal handler: abort() ends the attempt in
    // whatever state it is; stopWaiting() ends it only while no box has woken up yet. Both
    // last for the runner's life: no later attempt waits for a box. On Windows both only set
    // a flag, which the attempt's loop acts on within 100 ms.
    void abort();
    void stopWaiting();

    const std::string& port() const { return options_.port; }
    // Whether the port opens (for the watch, then closed again); `failure` says why not.
    bool portOpens(PortFailure& failure);
    // Whether bytes arrived on the line within `ms` (the port opened for watching, then closed
    // again); false as well when the port cannot be opened.
    bool lineActive(uint32_t ms);

    // ControlSurface.
    void showRestartDialog() override;
    void destroyRestartDialog() override {}
    void setMenuBusy(bool) override {}
    void enableStartButton(bool) override {}
    void showMessage(ControlMessage, const char*, const char*) override {}
    const char* portName() override { return options_.port.c_str(); }
    bool imageLoaded() override { return true; }
    void loadImage() override {}
    void setStartEvent() override;
    void createTestLog() override {}
    void startSession() override;
    void stopSession() override;
    void postStart() override;
    void resetProgressDisplay() override {}
    void drawReadyLamp() override {}

private:
    class Reporter;
    class StopPauser;
    class StartEvent;

    AttemptReport finish(bool aborted);

    RunnerOptions options_;
    AttemptObserver* observer_ = nullptr;

    std::unique_ptr<SystemSerialPort> systemPort_;
    std::unique_ptr<SerialPort> tracingPort_;
    std::unique_ptr<StopPauser> pauser_;
    std::unique_ptr<Reporter> reporter_;
    std::unique_ptr<StartEvent> startEvent_;
    std::unique_ptr<SessionContext> ctx_;
    std::unique_ptr<DownloadControl> control_;

    // The session thread's stop: after it, the session touches neither the port nor the
    // observer, and its pauses return at once.
    std::atomic<bool> stopping_{false};
    std::atomic<bool> abortRequested_{false};
    std::atomic<bool> stopWaitingRequested_{false};

    std::mutex mutex_;
    std::condition_variable wake_;
    bool endRequested_ = false; // the session's End session (its Abort)
    bool startPosted_ = false;  // the tick's posted Start
    bool sessionFinished_ = false;
    bool sessionStarted_ = false;
    std::chrono::system_clock::time_point sessionStartedAt_{};
    uint32_t downloadIdBefore_ = 0;
    std::thread session_;
};

} // namespace kestrune::cli
