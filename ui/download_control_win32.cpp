// The download control in the window: the portable DownloadControl driven by timer 1 and the
// two download commands, its ControlSurface over the window's controls and dialogs, and the
// session thread with the window's side of its reports.
//
// Ending the session thread. A serial read blocked for up to 650000 ms cannot be cancelled on
// every Windows (Wine ignores CancelSynchronousIo on a comm handle), so Abort ends the thread
// with TerminateThread. The thread must then hold nothing this thread needs afterwards. The
// session code itself never allocates, formats through the C runtime or takes a lock; the
// window calls it makes are the risk, because user32 takes a process-wide lock inside each of
// them (measured under Wine: a thread ended inside PostMessageA left the window frozen). So
// every window call of the session is a window section: Abort first asks the session to stop,
// lets a section in progress finish (handling the message it waits for), and terminates the
// thread only outside a section, where the thread is parked or in the link's port and pause
// calls; a thread asked to stop parks instead of entering a section. Abort never waits for
// a thread that waits for Abort: the session's own Abort is answered at once.

#include "dsmcc/records.h"
#include "link/pause.h"
#include "link/system_serial_port.h"
#include "resources/resource_ids.h"
#include "session/session.h"
#include "ui/session_gate.h"
#include "ui/win32_window.h"
#include "ui/window_reporter.h"

#include <atomic>
#include <commctrl.h>
#include <memory>

namespace kestrune::ui {

namespace {

// A thread that is being terminated needs nothing from this thread, so its end comes
// promptly; the bound only keeps a platform fault from freezing the window.
constexpr DWORD SESSION_END_WAIT_MS = 5000;
// A window section that does not end while this thread handles what it sends is a result box
// (an Abort forced while it is open): it is closed after this long.
constexpr DWORD SECTION_WAIT_MS = 200;
// After this, a section that still has not ended is left to termination.
constexpr DWORD SECTION_GIVE_UP_MS = 2000;

SessionGate sessionGate;
// The session is sending its End session (ID_DOWNLOAD_ABORT).
std::atomic<int32_t> sessionEnding{0};
HANDLE parkingEvent = nullptr; // never set

// Where a session asked to stop waits for its termination.
[[noreturn]] void park() {
    sessionGate.parking();
    for (;;) {
        WaitForSingleObject(parkingEvent, INFINITE);
    }
}

// Brackets one window call of the session thread.
class WindowSection {
public:
    WindowSection() {
        if (!sessionGate.enter()) {
            park();
        }
    }
    ~WindowSection() {
        if (!sessionGate.leave()) {
            park();
        }
    }
    WindowSection(const WindowSection&) = delete;
    WindowSection& operator=(const WindowSection&) = delete;
};

// The window operations of one session, on the handles fixed when it started.
class Win32SessionWindow final : public SessionWindow {
public:
    void begin(HWND mainWindow, HWND progressBar, HWND statusText, HWND testLogWindow,
               HWND testLogEdit) {
        main_ = mainWindow;
        progress_ = progressBar;
        status_ = statusText;
        testLog_ = testLogWindow;
        testLogEdit_ = testLogEdit;
    }

    void showTestLogWindow() override {
        WindowSection section;
        ShowWindow(testLog_, SW_SHOW);
    }
    void showProgressControls() override {
        WindowSection section;
        ShowWindow(progress_, SW_SHOW);
        ShowWindow(status_, SW_SHOW);
    }
    void setProgressRange(int low, int high) override {
        WindowSection section;
        SendMessageA(progress_, PBM_SETRANGE, 0, MAKELPARAM(low, high));
    }
    void setStatusText(const char* text) override {
        WindowSection section;
        SetWindowTextA(status_, text);
    }
    void typeLogCharacter(char c) override {
        if (testLogEdit_ != nullptr) {
            WindowSection section;
            SendMessageA(testLogEdit_, WM_CHAR, static_cast<unsigned char>(c), 0);
        }
    }
    void moveLogCaretToEnd() override {
        if (testLogEdit_ != nullptr) {
            WindowSection section;
            const int end = GetWindowTextLengthA(testLogEdit_);
            SendMessageA(testLogEdit_, EM_SETSEL, static_cast<WPARAM>(end),
                         static_cast<LPARAM>(end));
        }
    }
    // What WM_SETREDRAW does through the default window procedure; Wine's edit control answers
    // WM_SETREDRAW itself and goes on redrawing its scroll bars at every character (5-8 ms
    // each), while an edit control without WS_VISIBLE types in well under 1 ms.
    void holdLogDrawing() override {
        if (testLogEdit_ != nullptr) {
            WindowSection section;
            SetWindowLongA(testLogEdit_, GWL_STYLE,
                           GetWindowLongA(testLogEdit_, GWL_STYLE) & ~WS_VISIBLE);
        }
    }
    // The edit control shows itself again at once, and the main thread draws it a moment later:
    // the pieces of one block line (typed back to back) are drawn together, while the session
    // waits on the line, instead of each waiting for the drawing of the one before.
    void drawLogOnce() override {
        if (testLogEdit_ != nullptr) {
            WindowSection section;
            SetWindowLongA(testLogEdit_, GWL_STYLE,
                           GetWindowLongA(testLogEdit_, GWL_STYLE) | WS_VISIBLE);
            PostMessageA(main_, WM_LOG_TYPED, 0, 0);
        }
    }
    // Main thread, after the session thread is gone: a session ended between its hold and its
    // draw must not leave the log hidden.
    void releaseLogDrawing() {
        if (testLogEdit_ != nullptr && IsWindow(testLogEdit_)) {
            SetWindowLongA(testLogEdit_, GWL_STYLE,
                           GetWindowLongA(testLogEdit_, GWL_STYLE) | WS_VISIBLE);
            drawTestLog();
        }
    }
    void showResultBox(const char* text, const char* caption, bool errorIcon) override {
        WindowSection section;
        MessageBoxA(main_, text, caption, errorIcon ? MB_ICONERROR : MB_OK);
    }
    // Abort answers this send at once; the session then parks, and nothing after it runs.
    void sendAbort() override {
        {
            WindowSection section;
            sessionEnding.store(1);
            SendMessageA(main_, WM_COMMAND, ID_DOWNLOAD_ABORT, 0);
        }
        park();
    }
    void postProgressPosition(int percent) override {
        WindowSection section;
        PostMessageA(progress_, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    }

private:
    HWND main_ = nullptr;
    HWND progress_ = nullptr;
    HWND status_ = nullptr;
    HWND testLog_ = nullptr;
    HWND testLogEdit_ = nullptr;
};

class EventStartSignal final : public StartSignal {
public:
    void wait() override { WaitForSingleObject(win.startEvent, INFINITE); }
};

class Win32Surface final : public ControlSurface {
public:
    void showRestartDialog() override {
        // Its initialisation switches the menu to busy.
        win.restartDialog = createOwnedDialog(IDD_RESTART, restartProc);
    }
    void destroyRestartDialog() override {
        if (win.restartDialog != nullptr) {
            DestroyWindow(win.restartDialog);
            win.restartDialog = nullptr;
        }
    }
    void setMenuBusy(bool busy) override { applyDownloadMenuStates(busy); }
    void enableStartButton(bool enabled) override { EnableWindow(win.startButton, enabled); }
    void showMessage(ControlMessage which, const char* text, const char* caption) override {
        if (which == ControlMessage::PortNotOpened) {
            MessageBoxA(nullptr, text, caption, MB_ICONERROR | MB_TASKMODAL);
        } else {
            MessageBoxA(win.mainWindow, text, caption, MB_ICONERROR);
        }
    }
    const char* portName() override { return portNameFor(app.portChoice); }
    bool imageLoaded() override { return app.imageLoaded != 0; }
    void loadImage() override { SendMessageA(win.mainWindow, WM_COMMAND, ID_FILE_LOADIMAGE, 0); }
    void setStartEvent() override { SetEvent(win.startEvent); }
    void createTestLog() override;
    void startSession() override;
    void stopSession() override;
    void postStart() override { PostMessageA(win.mainWindow, WM_WAKEUP_START, 0, 0); }
    void resetProgressDisplay() override;
    void drawReadyLamp() override { ui::drawReadyLamp(); }

    HANDLE sessionThread = nullptr;
    bool testLogForSession = false;
};

// Everything a download needs, made once for the whole run: roundNumber and downloadId carry
// over from one download to the next, and the session context is too large for a stack.
struct Download {
    std::unique_ptr<SystemSerialPort> port = createSystemSerialPort(systemPortErrorSink, nullptr);
    SystemPauser pauser;
    Win32Surface surface;
    DownloadControl control{*port, surface};
    Win32SessionWindow window;
    WindowReporter reporter{window, control};
    SessionContext session{*port, pauser, reporter};
    EventStartSignal startSignal;
};

Download* download = nullptr;

// Set by the session thread as its first act: from then on the system's start-up of the thread
// (which runs every library's thread notification under the loader lock) is over.
HANDLE sessionEntered = nullptr;

DWORD WINAPI sessionThreadMain(void*) {
    SetEvent(sessionEntered);
    runSession(download->session, download->startSignal);
    // Only when the window is gone: a thread ending by itself would run the libraries' thread
    // notifications, where it must not be terminated.
    park();
}

BOOL CALLBACK closeResultBox(HWND window, LPARAM) {
    PostMessageA(window, WM_COMMAND, IDOK, 0);
    return TRUE;
}

// Abort's first act: from now on the session enters no window section.
void requestSessionStop() {
    sessionGate.requestStop();
}

void Win32Surface::createTestLog() {
    testLogForSession = app.serialPortInfoOn != 0;
    if (!testLogForSession) {
        return;
    }
    // One Test Log at a time, holding this session's log; the last session is gone.
    if (win.testLogWindow != nullptr) {
        DestroyWindow(win.testLogWindow);
    }
    win.testLogEdit = nullptr;
    win.testLogWindow = createOwnedDialog(IDD_TEST_LOG, testLogProc);
}

void Win32Surface::startSession() {
    download->window.begin(win.mainWindow, win.progressBar, win.statusText, win.testLogWindow,
                           testLogForSession ? win.testLogEdit : nullptr);
    download->reporter.beginSession({.testLog = testLogForSession && win.testLogEdit != nullptr});
    if (sessionEntered == nullptr) {
        sessionEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        parkingEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ResetEvent(sessionEntered);
    sessionGate.reset();
    sessionEnding.store(0);
    sessionThread = CreateThread(nullptr, 0, sessionThreadMain, nullptr, 0, nullptr);
    // Without a thread the attempt sends no frame and the watchdog ends it.
}

void Win32Surface::stopSession() {
    if (sessionThread == nullptr) {
        return;
    }
    // A thread still in its start-up holds the loader lock, which this thread needs again
    // (the next session thread, the open-file dialog's libraries): end it only once it runs
    // its own code. Its start-up waits for nothing of this thread.
    requestSessionStop();
    const HANDLE startedOrGone[2] = {sessionEntered, sessionThread};
    WaitForMultipleObjects(2, startedOrGone, FALSE, SESSION_END_WAIT_MS);

    // Let a window section in progress end: what it sends to this thread is handled here (a
    // nested Abort only answers), and the thread parks when it leaves the section.
    const DWORD waitStarted = GetTickCount();
    bool boxClosed = false;
    while (!sessionGate.mayTerminate() && WaitForSingleObject(sessionThread, 0) == WAIT_TIMEOUT) {
        const DWORD waited = GetTickCount() - waitStarted;
        if (waited > SECTION_GIVE_UP_MS) {
            break;
        }
        if (waited > SECTION_WAIT_MS && !boxClosed) {
            EnumThreadWindows(GetThreadId(sessionThread), closeResultBox, 0);
            boxClosed = true;
        }
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        MsgWaitForMultipleObjects(1, &sessionThread, FALSE, 1, QS_SENDMESSAGE);
    }

    TerminateThread(sessionThread, 0);
    // Termination is asynchronous: once the thread is gone it can touch no port closed next.
    WaitForSingleObject(sessionThread, SESSION_END_WAIT_MS);
    CloseHandle(sessionThread);
    sessionThread = nullptr;
    download->window.releaseLogDrawing();
    // A result box that ended with its thread would leave its owner disabled.
    if (!IsWindowEnabled(win.mainWindow)) {
        EnableWindow(win.mainWindow, TRUE);
    }
}

void Win32Surface::resetProgressDisplay() {
    // What the ended attempt left queued: progress positions, and the wake-up's Start, which
    // would arm the window again after the operator's Abort.
    MSG message;
    while (PeekMessageA(&message, win.progressBar, PBM_SETPOS, PBM_SETPOS, PM_REMOVE)) {
    }
    while (PeekMessageA(&message, win.mainWindow, WM_WAKEUP_START, WM_WAKEUP_START, PM_REMOVE)) {
    }
    SendMessageA(win.progressBar, PBM_SETPOS, 0, 0);
    ShowWindow(win.progressBar, SW_HIDE);
    ShowWindow(win.statusText, SW_HIDE);
    SetWindowTextA(win.statusText, STATUS_TEXT_AT_START);
}

} // namespace

void createDownloadControl() {
    if (download == nullptr) {
        download = new Download;
    }
}

DownloadInfoResponse& imageRecord() {
    return download->session.response;
}

void setImageSize(uint32_t size) {
    download->session.link.imageSize = size;
}

bool downloadArmed() {
    return download->control.downloadArmed();
}

bool sessionRunning() {
    return download->control.sessionRunning();
}

void clearDownloadCounters() {
    download->control.disarm();
    download->control.resetStallTicks();
}

namespace {

// The control's entries do not nest: an Abort that Abort itself lets through (the session's
// own, sent while its window section ends) and a tick inside a message box's loop find the
// control busy and leave it alone.
bool controlBusy = false;

template <typename Entry> void enterControl(Entry entry) {
    if (controlBusy) {
        return;
    }
    controlBusy = true;
    entry();
    controlBusy = false;
}

} // namespace

void onDownloadStart() {
    enterControl([] { download->control.onStart(); });
}

void onDownloadAbort() {
    // The session's End session is sent and waited for: answer it at once (the session parks
    // when its send returns), so that this Abort never waits for a thread that waits for it.
    // Any other sender waits until the Abort is done.
    if (InSendMessage() && sessionEnding.load() != 0 && download->control.sessionRunning()) {
        requestSessionStop();
        ReplyMessage(0);
    }
    enterControl([] { download->control.onAbort(); });
}

void onDownloadTick() {
    enterControl([] { download->control.onTick(); });
}

void endDownloadForExit() {
    download->surface.stopSession();
    download->port->closeDownloadPort();
    download->port->closeWatchPort();
}

} // namespace kestrune::ui
