#pragma once

// A front end that shows nothing: the base of the tests' recording reporters.

#include "session/progress_reporter.h"

namespace kestrune::test {

class QuietReporter : public ProgressReporter {
public:
    void showTestLog() override {}
    void showProgress() override {}
    void postProgress(int) override {}
    void setStatusText(const char*) override {}
    void resetStallTicks() override {}
    void disarm() override {}
    void logText(const char*) override {}
    void showResult(const char*, const char*, bool) override {}
    void endSession() override {}
};

} // namespace kestrune::test
