#pragma once

// A scripted serial port on a virtual clock, for running the link in virtual time.
// Bytes the "box" sends are queued with the virtual time at which they arrive; a read
// takes the bytes that arrive before its time-out and advances the clock to the last one
// taken, or to the time-out when it comes back short. Every write is recorded and handed
// to a script that may queue the box's answer.

#include "tests/link/fake_port.h"
#include "tests/link/virtual_clock.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kestrune::test {

struct PortWrite {
    uint64_t atMs;
    std::vector<uint8_t> bytes;
};

struct PortRead {
    uint64_t atMs;
    uint32_t wanted;
    uint32_t timeoutMs;
    uint32_t received;
};

class VirtualPort final : public FakePort {
public:
    explicit VirtualPort(VirtualClock& clock) : clock_(clock) {}

    // The box sends `bytes`, arriving `delayMs` after the current virtual time.
    void arrive(const std::vector<uint8_t>& bytes, uint64_t delayMs = 0) {
        for (uint8_t b : bytes) {
            incoming_.push_back({clock_.nowMs + delayMs, b});
        }
    }
    // Called after every write with the bytes written (the box's side of the exchange).
    std::function<void(const std::vector<uint8_t>&)> onWrite;

    std::vector<PortWrite> writes;
    std::vector<PortRead> reads;

    bool purge() override {
        incoming_.clear();
        return true;
    }
    int writeByte(uint8_t value) override { return writeBlock(&value, 1); }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        writes.push_back({clock_.nowMs, std::vector<uint8_t>(data, data + count)});
        if (onWrite) {
            onWrite(writes.back().bytes);
        }
        return LINK_OK;
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        const uint32_t wanted = *count;
        const uint64_t deadline = clock_.nowMs + timeoutMs;
        uint32_t got = 0;
        while (got < wanted && !incoming_.empty() && incoming_.front().atMs <= deadline) {
            if (incoming_.front().atMs > clock_.nowMs) {
                clock_.nowMs = incoming_.front().atMs;
            }
            buffer[got++] = incoming_.front().value;
            incoming_.pop_front();
        }
        if (got < wanted) {
            clock_.nowMs = deadline;
        }
        reads.push_back({clock_.nowMs, wanted, timeoutMs, got});
        *count = got;
        return got != 0 ? LINK_OK : LINK_ERR_IO;
    }

private:
    struct Arrival {
        uint64_t atMs;
        uint8_t value;
    };
    VirtualClock& clock_;
    std::deque<Arrival> incoming_;
};

class RecordingReporter final : public QuietReporter {
public:
    std::vector<int> percents;
    std::vector<std::string> texts;
    int stallResets = 0;

    void postProgress(int percent) override { percents.push_back(percent); }
    void setStatusText(const char* text) override { texts.emplace_back(text); }
    void resetStallTicks() override { ++stallResets; }
};

} // namespace kestrune::test
