#pragma once

#include <cstdint>

namespace kestrune {

// Everything the session thread may do to its front end. The window implements it with
// sent and posted messages, the command line with a terminal progress bar and a log file,
// tests by recording the calls. Implementations called from the session thread must not
// allocate or take locks the front end needs after an abort.
class ProgressReporter {
public:
    virtual ~ProgressReporter() = default;

    // Session start: show the Test Log window (only when it is wanted).
    virtual void showTestLog() = 0;
    // Session start, imageSize != 0: progress display visible, "Download 0.0 %", range 0..100.
    virtual void showProgress() = 0;
    // After every frame sent. Asynchronous; the percentage is not clamped.
    virtual void postProgress(int percent) = 0;
    // After every frame sent. Synchronous; e.g. "Download 42.7 %".
    virtual void setStatusText(const char* text) = 0;
    // After every frame sent, and at session end: stallTicks := 0.
    virtual void resetStallTicks() = 0;
    // Session end, before the result box: downloadArmed := 0.
    virtual void disarm() = 0;
    // Appends text to the Test Log (typed character by character in the window).
    virtual void logText(const char* text) = 0;
    // A line for the command line's Test Log file only (what the line did that the window's
    // Test Log does not show). The window drops it.
    virtual void logNote(const char* text) { (void)text; }
    // The modal result box; waits until the operator closes it. errorIcon selects MB_ICONERROR.
    virtual void showResult(const char* text, const char* caption, bool errorIcon) = 0;
    // Hands control back to the front end (a sent ID_DOWNLOAD_ABORT in the window).
    // In the window this call does not return: the session thread is ended there.
    virtual void endSession() = 0;
};

} // namespace kestrune
