#pragma once

// The window's side of the session's ProgressReporter, free of platform headers: the Win32
// window supplies the primitive window operations (sent and posted messages, the result box),
// native tests record them.
//
// Everything here except beginSession() runs on the session thread, which the window may
// terminate at any point: no allocation, no C-runtime formatting, no locks.

#include "session/download_control.h"
#include "session/progress_reporter.h"

namespace kestrune::ui {

constexpr const char STATUS_TEXT_AT_START[] = "Download 0.0 %";
constexpr int PROGRESS_RANGE_LOW = 0;
constexpr int PROGRESS_RANGE_HIGH = 100;

// The window operations a session may ask for, named by how each is delivered.
class SessionWindow {
public:
    virtual ~SessionWindow() = default;

    // Sent (the session waits until the main thread has handled them).
    virtual void showTestLogWindow() = 0;
    virtual void showProgressControls() = 0; // the progress bar and the status text
    virtual void setProgressRange(int low, int high) = 0;
    virtual void setStatusText(const char* text) = 0;
    // One typed character into the Test Log's edit control, at its caret.
    virtual void typeLogCharacter(char c) = 0;
    // The caret (and an empty selection) at the end of the log's text: a click in the log
    // moves the caret, and the next piece would be typed there.
    virtual void moveLogCaretToEnd() = 0;
    // Around the characters of one piece of log text: the edit control stops drawing itself,
    // then draws the whole piece once. A redraw per character costs the download several
    // milliseconds a character under Wine.
    virtual void holdLogDrawing() = 0;
    virtual void drawLogOnce() = 0;
    // The modal result box, owned by the main window.
    virtual void showResultBox(const char* text, const char* caption, bool errorIcon) = 0;
    // ID_DOWNLOAD_ABORT to the main window; in the real window this never returns.
    virtual void sendAbort() = 0;

    // Posted (the session goes on at once).
    virtual void postProgressPosition(int percent) = 0;
};

// What one session may reach of the window, fixed by the main thread before the session
// thread is created.
struct SessionView {
    // A Test Log window was opened for this session: it is shown and takes the log.
    bool testLog = false;
};

class WindowReporter final : public ProgressReporter {
public:
    WindowReporter(SessionWindow& window, DownloadControl& control)
        : window_(window), control_(control) {}

    // Main thread, before the session thread starts.
    void beginSession(SessionView view) { view_ = view; }

    void showTestLog() override;
    void showProgress() override;
    void postProgress(int percent) override;
    void setStatusText(const char* text) override;
    void resetStallTicks() override;
    void disarm() override;
    void logText(const char* text) override;
    void showResult(const char* text, const char* caption, bool errorIcon) override;
    void endSession() override;

private:
    SessionWindow& window_;
    DownloadControl& control_;
    SessionView view_;
};

} // namespace kestrune::ui
