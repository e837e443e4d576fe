#include "ui/window_reporter.h"

namespace kestrune::ui {

void WindowReporter::showTestLog() {
    if (view_.testLog) {
        window_.showTestLogWindow();
    }
}

void WindowReporter::showProgress() {
    window_.showProgressControls();
    window_.setStatusText(STATUS_TEXT_AT_START);
    window_.setProgressRange(PROGRESS_RANGE_LOW, PROGRESS_RANGE_HIGH);
}

void WindowReporter::postProgress(int percent) {
    window_.postProgressPosition(percent);
}

void WindowReporter::setStatusText(const char* text) {
    window_.setStatusText(text);
}

void WindowReporter::resetStallTicks() {
    control_.resetStallTicks();
}

void WindowReporter::disarm() {
    control_.disarm();
}

void WindowReporter::logText(const char* text) {
    if (!view_.testLog || *text == '\0') {
        return;
    }
    window_.holdLogDrawing();
    window_.moveLogCaretToEnd();
    for (const char* c = text; *c != '\0'; ++c) {
        // A typed carriage return makes a line break of its own in the edit control: line
        // feeds alone break the lines.
        if (*c != '\r') {
            window_.typeLogCharacter(*c);
        }
    }
    window_.drawLogOnce();
}

void WindowReporter::showResult(const char* text, const char* caption, bool errorIcon) {
    window_.showResultBox(text, caption, errorIcon);
}

void WindowReporter::endSession() {
    window_.sendAbort();
}

} // namespace kestrune::ui
