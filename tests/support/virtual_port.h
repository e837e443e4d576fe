#pragma once

// A scripted serial port on a virtual clock, for running the link in virtual time.
// Bytes the "box" sends are queued with the virtual time at which they arrive; a read
// takes the bytes that arrive before its time-out and advances the clock to the last one
// taken, or to the time-out when it comes back short. Every write is recorded and handed
// to a script that may queue the box's answer.

#include "link/frame_progress.h"
#include "tests/support/fake_port.h"
#include "tests/support/virtual_clock.h"
#include "tools/boxsim/virtual_line.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
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

// The server's end of a virtual line with the box library's box on the far end (a
// boxsim::Box on a boxsim::VirtualLine), on a clock of microseconds. Every read runs the box's
// events in time order up to the moment the read returns; every block write of the server (a
// frame's header or payload) is shown to onServerWrite before the line may spoil it. A session that
// makes more than maxEvents port calls and box events is a runaway: it is stopped (reads find
// nothing).
class BoxLinePort final : public FakePort {
public:
    BoxLinePort(boxsim::VirtualLine& line, boxsim::VirtualWire& toBox,
                boxsim::VirtualWire& toServer)
        : line_(line), toBox_(toBox), toServer_(toServer) {}

    uint64_t nowUs = 0;
    bool trace = false;
    bool runaway = false;
    uint64_t maxEvents = 2000000;
    std::function<void(const uint8_t*, uint32_t)> onServerWrite;

    void advanceTo(uint64_t us) {
        runBoxUntil(us);
        nowUs = std::max(nowUs, us);
    }

    bool purge() override {
        runBoxUntil(nowUs);
        while (!toServer_.queue.empty() && toServer_.queue.front().atUs <= nowUs) {
            toServer_.queue.pop_front();
        }
        return true;
    }
    int writeByte(uint8_t value) override {
        tick();
        runBoxUntil(nowUs);
        if (trace) {
            std::printf("%10.3f ms  server: byte %u\n", nowUs / 1000.0, value);
        }
        toBox_.send(nowUs, &value, 1);
        return LINK_OK;
    }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        tick();
        runBoxUntil(nowUs);
        if (onServerWrite) {
            onServerWrite(data, count);
        }
        toBox_.send(nowUs, data, count);
        return LINK_OK;
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        tick();
        const uint64_t deadline = nowUs + uint64_t{timeoutMs} * boxsim::VIRTUAL_MS;
        uint32_t got = 0;
        while (got < *count && !runaway) {
            const uint64_t serverByte =
                toServer_.queue.empty() ? boxsim::NEVER : toServer_.queue.front().atUs;
            const uint64_t boxEvent = line_.nextEventUs();
            if (boxEvent < serverByte && boxEvent <= deadline) {
                runBoxUntil(boxEvent);
            } else if (serverByte <= deadline) {
                nowUs = std::max(nowUs, serverByte);
                buffer[got++] = toServer_.queue.front().value;
                toServer_.queue.pop_front();
            } else {
                break;
            }
        }
        if (got < *count) {
            nowUs = deadline;
        }
        *count = got;
        return got != 0 ? LINK_OK : LINK_ERR_IO;
    }

private:
    void tick() {
        if (++calls_ + line_.events > maxEvents) {
            runaway = true;
        }
    }
    void runBoxUntil(uint64_t us) {
        if (!runaway) {
            line_.runUntil(us);
        }
        tick();
    }

    boxsim::VirtualLine& line_;
    boxsim::VirtualWire& toBox_;
    boxsim::VirtualWire& toServer_;
    uint64_t calls_ = 0;
};

// Pauses of the server on a BoxLinePort's clock: the box's events in them run.
class BoxLinePauser final : public Pauser {
public:
    explicit BoxLinePauser(BoxLinePort& port) : port_(port) {}
    void pause(uint32_t ms) override { port_.advanceTo(port_.nowUs + ms * boxsim::VIRTUAL_MS); }

private:
    BoxLinePort& port_;
};

// The link's progress reports: bytesSent of each.
class RecordingProgress final : public FrameProgress {
public:
    std::vector<uint32_t> sent;

    void frameSent(uint32_t bytesSent, uint32_t) override { sent.push_back(bytesSent); }
};

} // namespace kestrune::test
