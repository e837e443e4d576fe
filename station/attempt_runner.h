#pragma once

// One serial port of a serve or a station: its port, download control, session context and
// session thread, and the facts of each attempt, which the verdict turns into an outcome.
// `serve` runs one attempt on one runner; a station runs one runner per port, attempt after
// attempt.

#include "dsmcc/records.h"
#include "link/frame_tap.h"
#include "link/system_serial_port.h"
#include "release/release.h"
#include "release/served_image.h"
#include "session/download_control.h"
#include "session/session.h"
#include "station/link_watch.h"
#include "station/stop.h"
#include "station/thread_start.h"
#include "station/verdict.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::station {

// Everything known about one attempt once it has ended.
struct AttemptReport {
    Outcome outcome = Outcome::Aborted;
    std::string reason;          // why it did not complete ("" when complete)
    bool boxWoke = false;        // the wake-up byte arrived and the session started
    bool sessionRan = false;     // the session reached its judgement
    int resultCode = 0;          // the data phase's result code (when the session ran)
    uint64_t deliveredBytes = 0; // module bytes the box acknowledged (when the box woke)
    uint64_t moduleBytes = 0;    // module bytes of the image
    bool responseAccepted = false;
    bool wakeupKnown = false; // the session read the wake-up byte
    uint8_t wakeupByte = 0;
    uint32_t downloadId = 0;
    uint16_t blockSize = 0;
    uint8_t windowSize = 0;
    uint8_t ackPeriod = 0;
    uint32_t framesResent = 0;
    // Under a release: the entry whose image the box was given (-1: none, or no release).
    int entry = -1;
    uint32_t naks = 0;           // the box's NAKs of our frames
    uint32_t crcErrors = 0;      // the box's frames that failed their CRC
    uint32_t firstRequestMs = 0; // from the wake-up byte to the box's first request (0: none)
    // The block in flight when a download that did not complete ended (none when the frame in
    // flight was the DownloadInfoResponse, or the download completed).
    bool stoppedInBlock = false;
    uint16_t stoppedModule = 0;
    uint16_t stoppedBlock = 0;
    // What the box's DownloadInfoRequest said of it (requestSeen false when none arrived).
    BoxIdentity identity;
    // The unit's serial and where it came from ("box", "scan"), when a UnitCheck knew it.
    std::string unitSerial{};
    std::string unitSerialFrom{};
    std::string unitNote{}; // what the operator should know of the serial ("" for nothing)
    // Whether the UnitCheck was asked, and the scan it compared the box with ("" for none).
    bool unitAsked = false;
    std::string unitScan{};
    PortOpenError portOpenError = PortOpenError::None;
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
    // The box's DownloadInfoRequest has arrived: who it says it is (on the runner's thread).
    virtual void boxIdentified(const BoxIdentity&) {}
    // When the box that sent `identity` is the last attempt's, woken again for another (a
    // retry) and that attempt's box took a scan: the scan (possibly ""), else null. Asked on
    // the session thread once the request is in.
    virtual const std::string* scanOfReturningBox(const BoxIdentity& /*identity*/) const {
        return nullptr;
    }
    // The download's size in module bytes, then the module bytes the box has acknowledged,
    // after every frame sent.
    virtual void progressStarted(uint64_t) {}
    virtual void progress(uint64_t) {}
    // The Test Log text of the session, piece by piece.
    virtual void logText(const char*) {}
    virtual void sessionEnded() {}
    // Told of every frame the link accepts during the session (a capture file); none when null.
    // Asked once, when the session starts.
    virtual FrameTap* frameTap() { return nullptr; }
};

// Which unit the box is: asked by the gate on the session thread once the box's request is in.
class UnitCheck {
public:
    virtual ~UnitCheck() = default;
    struct Unit {
        std::string serial;  // "" when not known
        std::string from;    // "box" or "scan"
        std::string note;    // for the operator, "" for nothing
        std::string refusal; // the box is not served, and this is why ("" to serve it)
        std::string scan;    // the scan the box was compared with ("" for none)
    };
    // `returning`: the scan the box took at its earlier attempt when it is a retry of it, to be
    // compared again (a newer scan is the next unit's); null for a new box.
    virtual Unit check(const BoxIdentity& identity, const std::string* returning) = 0;
};

struct RunnerOptions {
    std::string port;
    bool trace = false;
    // A station waits for its boxes for as long as it takes: no watchdog before the wake-up.
    bool waitIndefinitely = false;
    // Looked at every 100 ms at most: a stop ends waiting, an abort ends everything. None: only
    // abort() and stopWaiting() stop the runner.
    const StopSignal* stop = nullptr;
    // The hardware to serve; a box that is not it, or that cannot show it is, is not served (no
    // DownloadInfoResponse).
    HardwareGuard guard;
    // A release instead of a guard: each box gets the image of the entry its hardware fits
    // (`images[i]` for entry i, loaded for as long as the runner lives); a box that fits none,
    // or that cannot show which it fits, is not served.
    const release::Release* release = nullptr;
    std::vector<const release::ServedImage*> images;
    // Who the unit is, and whether its serial lets it be served (none: not asked).
    UnitCheck* unitCheck = nullptr;
    // Where the session's thread comes from (none: the process's own).
    ThreadStarter* threads = nullptr;
};

// Why a port would not open and what to do, in the same words from every program: it looks at
// the device (its group and mode, the ports that do exist).
std::string describePortProblem(PortOpenError failure, const std::string& port);

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

    // From any thread: abort() ends the attempt in whatever state it is; stopWaiting() ends it
    // only while no box has woken up yet. Both last for the runner's life. They only store a
    // flag: the runner's own thread acts on it within 100 ms.
    void abort();
    void stopWaiting();

    const std::string& port() const { return options_.port; }
    // The steady clock's milliseconds when the runner's loop last went round (0: never): a
    // service's watchdog sees a port whose thread stopped moving.
    int64_t lastTickMs() const { return lastTickMs_.load(std::memory_order_relaxed); }
    // Whether the port opens (for the watch, then closed again); `failure` says why not.
    bool portOpens(PortOpenError& failure);
    // Whether bytes arrived on the line within `ms` (the port opened for watching, then closed
    // again); false as well when the port cannot be opened, goes away, or the runner stops.
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
    class Gate;

    bool abortWanted() const;
    bool stopWaitingWanted() const;
    AttemptReport finish(AttemptEnd end);

    RunnerOptions options_;
    AttemptObserver* observer_ = nullptr;

    std::unique_ptr<SystemSerialPort> systemPort_;
    std::unique_ptr<SerialPort> tracingPort_;
    std::unique_ptr<LinkWatch> watch_;
    std::unique_ptr<StopPauser> pauser_;
    std::unique_ptr<Reporter> reporter_;
    std::unique_ptr<StartEvent> startEvent_;
    std::unique_ptr<SessionContext> ctx_;
    std::unique_ptr<DownloadControl> control_;
    std::unique_ptr<Gate> gate_;
    // Written by the gate on the session thread before identitySeen_ / wrongBox_ are set.
    BoxIdentity identity_;
    UnitCheck::Unit unit_;
    bool unitAsked_ = false;
    int requestResult_ = 0;
    int entry_ = -1;
    std::atomic<bool> identitySeen_{false};
    std::atomic<bool> wrongBox_{false};

    // The session thread's stop: after it, the session touches neither the port nor the
    // observer, and its pauses return at once.
    std::atomic<bool> stopping_{false};
    std::atomic<bool> abortRequested_{false};
    std::atomic<int64_t> lastTickMs_{0};
    void beat();
    std::atomic<bool> stopWaitingRequested_{false};

    std::mutex mutex_;
    std::condition_variable wake_;
    bool endRequested_ = false; // the session's End session (its Abort)
    bool startPosted_ = false;  // the tick's posted Start
    bool sessionFinished_ = false;
    bool sessionStarted_ = false;
    std::chrono::system_clock::time_point sessionStartedAt_{};
    uint32_t downloadIdBefore_ = 0;
    std::string sessionThreadError_; // why this attempt's session thread did not start
    std::thread session_;
};

} // namespace kestrune::station
