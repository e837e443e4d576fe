#pragma once

// The download control of the main thread: Start, the 100 ms tick (wake-up watch, poll, stall
// watchdog) and Abort, as a portable state machine. The Win32 window and `kestrune-cli serve`
// each drive one DownloadControl and implement its ControlSurface; tests drive it tick by tick.
//
// Threads: every member function except resetStallTicks() and disarm() runs on the front end's
// main thread, one at a time. resetStallTicks() and disarm() are the session thread's two
// plain stores (its ProgressReporter forwards them here); downloadArmed and stallTicks are
// therefore atomics, written by both threads with relaxed order (a tick counted once more or
// less is harmless).
//
// States (derived from the fields, as state() reports them):
//   Idle         not armed, no restart dialog, no session
//   Armed        Start accepted; the next tick opens the watch
//   AwaitingBox  restart dialog shown, watch port open and polled every tick
//   Running      the wake-up byte arrived; the session thread runs (downloadArmed drops to 0
//                once the session has disarmed)

#include "link/serial_port.h"

#include <atomic>
#include <cstdint>

namespace kestrune {

constexpr int32_t WATCHDOG_LIMIT_TICKS = 200; // fires on the 201st tick: 20 s of 100 ms ticks

constexpr const char CONTROL_MISSING_FILE_TEXT[] = "You need to load the *.dl file.";
constexpr const char CONTROL_MISSING_FILE_CAPTION[] = "Missing file.....";
constexpr const char CONTROL_PORT_FAILURE_TEXT[] =
    "Failed to open communication resource.\nThe com port may not be the correct one, choose "
    "option and select the right com port,\nor the com port is already busy, quit all other "
    "applications that are using the com port.";
constexpr const char CONTROL_PORT_FAILURE_CAPTION[] = "Error";
constexpr const char CONTROL_NOT_RESPONDING_TEXT[] =
    "Not possible to download, the set top box is not responding.\nCheck that your set top box "
    "is connected and press \"Start download\" to try once again.";
constexpr const char CONTROL_NOT_RESPONDING_CAPTION[] = "Communication error";

// Which of the control's three message boxes is shown. All three have the error icon.
enum class ControlMessage {
    MissingFile,   // owned by the main window
    PortNotOpened, // no owner, task-modal
    NotResponding, // owned by the main window, shown after Abort has run
};

// Everything the control does to its front end besides the serial port. Each call is made on
// the main thread, from within onTick, onStart or onAbort.
class ControlSurface {
public:
    virtual ~ControlSurface() = default;

    // The restart dialog ("Restart the set top box."), modeless. The control calls
    // showRestartDialog() only while none is present and destroyRestartDialog() only while
    // one is. When the operator closes the dialog with its own buttons the front end just
    // lets it go: the control still counts it as present, and the watch goes on.
    virtual void showRestartDialog() = 0;
    virtual void destroyRestartDialog() = 0;

    // busy: Start download, Load image and Com port grayed, Abort download enabled.
    // idle: the reverse. Called with true right after showRestartDialog() (the window may do
    // it in the dialog's initialisation instead and ignore this call), with false by Abort.
    virtual void setMenuBusy(bool busy) = 0;
    // The Start download button.
    virtual void enableStartButton(bool enabled) = 0;

    // A modal message box with the exact text and caption (the CONTROL_* constants); returns
    // once the operator has closed it (a terminal front end just prints it).
    virtual void showMessage(ControlMessage which, const char* text, const char* caption) = 0;

    // The port to open, for the watch and the download alike: "COM1" or "COM2" by the
    // operator's choice in the window, the --port device in the command line.
    virtual const char* portName() = 0;

    // Whether an image is loaded, and Load image (run and waited for) when it is not.
    virtual bool imageLoaded() = 0;
    virtual void loadImage() = 0;

    // Start with the wake-up byte seen, in this order: setStartEvent(), createTestLog()
    // (create the Test Log window if Serialport info is on; nothing otherwise), the download
    // port is opened (through the SerialPort; its result is not examined), startSession().
    virtual void setStartEvent() = 0;
    virtual void createTestLog() = 0;
    // Creates the session thread running runSession. Called at most once per attempt.
    virtual void startSession() = 0;
    // Abort's end of the session thread: at once, wherever it is (terminated, or stopped
    // co-operatively so that it touches neither the port nor the front end any more). Must
    // never wait for a session thread that itself waits for Abort to run. Called only while a
    // session thread exists, before the ports are closed.
    virtual void stopSession() = 0;

    // The tick posts Start download to the front end (asynchronous: the front end calls
    // onStart() later, after this tick has returned).
    virtual void postStart() = 0;

    // Abort: progress position 0, progress bar and status text hidden, status text
    // "Download 0.0 %".
    virtual void resetProgressDisplay() = 0;
    // Abort's last step: draw the ready lamp (the window repaints it while not armed).
    virtual void drawReadyLamp() = 0;
};

class DownloadControl {
public:
    enum class State { Idle, Armed, AwaitingBox, Running };
    // Why the last attempt ended inside the control itself (None for every other end: the
    // session finished, or an Abort from outside).
    enum class Failure { None, PortNotOpened, NotResponding };

    DownloadControl(SerialPort& port, ControlSurface& surface) : port_(port), surface_(surface) {}
    DownloadControl(const DownloadControl&) = delete;
    DownloadControl& operator=(const DownloadControl&) = delete;

    // Timer 1 fired (every 100 ms): open the watch, poll it, count the watchdog.
    void onTick();
    // ID_DOWNLOAD_START: from the operator, or posted by the tick on the wake-up byte. A Start
    // while the session runs is ignored: one download port, one session thread.
    void onStart();
    // ID_DOWNLOAD_ABORT: from the operator, from the control itself, or from the session
    // thread's end (the front end runs it on the main thread). Never waits for the session.
    void onAbort();

    // The session thread's stores (ProgressReporter::resetStallTicks and ::disarm).
    void resetStallTicks() { stallTicks_.store(0, std::memory_order_relaxed); }
    void disarm() { downloadArmed_.store(0, std::memory_order_relaxed); }

    State state() const;
    bool downloadArmed() const { return downloadArmed_.load(std::memory_order_relaxed) != 0; }
    bool wakeupSeen() const { return wakeupSeen_ != 0; }
    int32_t stallTicks() const { return stallTicks_.load(std::memory_order_relaxed); }
    bool restartDialogPresent() const { return restartDialog_; }
    bool sessionRunning() const { return sessionRunning_; }
    Failure lastFailure() const { return lastFailure_; }
    // Whether the last Start with the wake-up byte seen opened the download port.
    bool downloadPortOpened() const { return downloadPortOpened_; }

private:
    SerialPort& port_;
    ControlSurface& surface_;
    std::atomic<int32_t> downloadArmed_{0};
    std::atomic<int32_t> stallTicks_{0};
    int32_t wakeupSeen_ = 0;
    bool restartDialog_ = false;
    bool sessionRunning_ = false;
    bool downloadPortOpened_ = false;
    Failure lastFailure_ = Failure::None;
};

} // namespace kestrune
