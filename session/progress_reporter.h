#pragma once

#include "link/frame_progress.h"

#include <cstdint>

namespace kestrune {

// The status text of a progress report: "Download 42.7 %" (capped at 100.0) and the
// integer percentage for the bar (not capped). Formats into `text` without allocating
// and without taking any C-runtime lock (std::to_chars into stack buffers), so the session
// thread may be terminated at any point. imageSize 0 (no image) reports 0 and
// "Download 0.0 %" rather than dividing by zero. `text` is always NUL-terminated when
// textSize > 0 and is cut short when it is smaller than the 17 bytes of "Download 100.0 %".
void formatProgress(uint32_t bytesSent, uint32_t imageSize, char* text, uint32_t textSize,
                    int* percent);

// Everything the session thread may do to its front end. The window implements it with
// sent and posted messages, the command line with a terminal progress bar and a log file,
// tests by recording the calls. Implementations called from the session thread must not
// allocate or take locks the front end needs after an abort.
class ProgressReporter : public FrameProgress {
public:
    // After every frame sent: the bar, the status text, and stallTicks := 0, in that order.
    void frameSent(uint32_t bytesSent, uint32_t imageSize) final;

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
