#pragma once

// What the tests' fake serial ports and front ends have in common: a port whose opens succeed,
// whose watch never sees a byte and whose readByte is a one-byte readBlock; a front end that
// shows nothing.

#include "link/progress_reporter.h"
#include "link/result_codes.h"
#include "link/serial_port.h"

#include <cstdint>

namespace kestrune::test {

class FakePort : public SerialPort {
public:
    bool openDownloadPort(const char*) override { return true; }
    void closeDownloadPort() override {}
    int readByte(uint8_t* value, uint32_t timeoutMs) override {
        uint32_t count = 1;
        uint8_t b = 0;
        const int result = readBlock(&b, &count, timeoutMs);
        if (result == LINK_OK) {
            *value = b;
        }
        return result;
    }
    bool openWatchPort(const char*) override { return true; }
    bool pollWatchByte() override { return false; }
    void closeWatchPort() override {}
};

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
