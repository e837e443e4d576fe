#pragma once

// What the tests' fake serial ports have in common: opens succeed, the watch never sees a byte,
// readByte is a one-byte readBlock.

#include "common/result_codes.h"
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

} // namespace kestrune::test
