// The download control in the window: the portable DownloadControl driven by timer 1 and the
// two download commands, its ControlSurface over the window's controls and dialogs, and the
// session thread with the window's side of its reports.
//
// The session thread is ended by TerminateThread, wherever it is: a serial read blocked for up
// to 650000 ms cannot be cancelled under every Windows (Wine ignores CancelSynchronousIo on a
// comm handle). That is safe because the session holds nothing this thread needs afterwards:
// it never allocates, formats through the C runtime or takes a lock, and reaches the window
// only by messages; the ports it uses are closed here, after it is gone.

#include "dsmcc/records.h"
#include "link/pause.h"
#include "link/system_serial_port.h"
#include "resources/resource_ids.h"
#include "session/session.h"
#include "ui/win32_window.h"
#include "ui/window_reporter.h"

#include <commctrl.h>
#include <memory>

namespace kestrune::ui {

namespace {

// A thread that is being terminated needs nothing from this thread, so its end comes
// promptly; the bound only keeps a platform fault from freezing the window.
constexpr DWORD SESSION_END_WAIT_MS = 5000;

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

    void showTestLogWindow() override { ShowWindow(testLog_, SW_SHOW); }
    void showProgressControls() override {
        ShowWindow(progress_, SW_SHOW);
        ShowWindow(status_, SW_SHOW);
    }
    void setProgressRange(int low, int high) override {
        SendMessageA(progress_, PBM_SETRANGE, 0, MAKELPARAM(low, high));
    }
    void setStatusText(const char* text) override { SetWindowTextA(status_, text); }
    void typeLogCharacter(char c) override {
        if (testLogEdit_ != nullptr) {
            SendMessageA(testLogEdit_, WM_CHAR, static_cast<unsigned char>(c), 0);
        }
    }
    void showResultBox(const char* text, const char* caption, bool errorIcon) override {
        MessageBoxA(main_, text, caption, errorIcon ? MB_ICONERROR : MB_OK);
    }
    void sendAbort() override { SendMessageA(main_, WM_COMMAND, ID_DOWNLOAD_ABORT, 0); }
    void postProgressPosition(int percent) override {
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
        if (which == ControlMessage::PortFailure) {
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

DWORD WINAPI sessionThreadMain(void*) {
    runSession(download->session, download->startSignal);
    return 0;
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
    sessionThread = CreateThread(nullptr, 0, sessionThreadMain, nullptr, 0, nullptr);
    // Without a thread the attempt sends no frame and the watchdog ends it.
}

void Win32Surface::stopSession() {
    if (sessionThread == nullptr) {
        return;
    }
    TerminateThread(sessionThread, 0);
    // Termination is asynchronous: once the thread is gone it can touch no port closed next.
    WaitForSingleObject(sessionThread, SESSION_END_WAIT_MS);
    CloseHandle(sessionThread);
    sessionThread = nullptr;
    // A status text or log character that the thread was sending when it ended is handled
    // now, before Abort resets the display, not after it.
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    // A result box ends with its thread and leaves its owner disabled.
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

void onDownloadStart() {
    download->control.onStart();
}

void onDownloadAbort() {
    download->control.onAbort();
}

void onDownloadTick() {
    download->control.onTick();
}

void endDownloadForExit() {
    download->surface.stopSession();
    download->port->closeDownloadPort();
    download->port->closeWatchPort();
}

} // namespace kestrune::ui
