#pragma once

// A serial line in virtual time (microseconds), for the unit tests, the soak test and the fuzz
// target: each direction a VirtualWire, where bytes queue up behind each other at the line's
// rate and each may meet the noise model's fault on the way; the box's end a VirtualLine, on
// which the box's waits suspend until the server's port runs the line's events.

#include "tools/boxsim/line.h"
#include "tools/boxsim/noise.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>

namespace boxsim {

constexpr uint64_t VIRTUAL_MS = 1000;   // the virtual clock counts microseconds
constexpr uint64_t BYTE_US_57600 = 174; // one byte of 10 bits at 57600 baud
constexpr uint64_t NEVER = UINT64_MAX;

struct Arrival {
    uint64_t atUs;
    uint8_t value;
};

class VirtualWire {
public:
    VirtualWire(const char* name, NoiseModel& noise, uint64_t byteUs = BYTE_US_57600)
        : name_(name), noise_(noise), byteUs_(byteUs) {}

    bool trace = false;
    std::deque<Arrival> queue;

    // The bytes leave at nowUs (or once the line is free) and arrive one byte time apart.
    void send(uint64_t nowUs, const uint8_t* bytes, size_t n);
    uint32_t faults() const { return faults_; }
    uint64_t byteUs() const { return byteUs_; }

private:
    void note(uint64_t atUs, const char* what) const {
        if (trace) {
            std::printf("%10.3f ms  %s: %s\n", atUs / 1000.0, name_, what);
        }
    }

    const char* name_;
    NoiseModel& noise_;
    uint64_t byteUs_;
    uint64_t freeAtUs_ = 0;
    uint32_t faults_ = 0;
};

// The box's end. The server's port drives it: nextEventUs() is when the box next has something
// to do (a byte it waits for arrives, or its wait times out), runUntil() does it.
class VirtualLine final : public Line {
public:
    VirtualLine(VirtualWire& toBox, VirtualWire& toServer, std::string name = "virtual line")
        : toBox_(toBox), toServer_(toServer), name_(std::move(name)) {}

    const std::string& name() const override { return name_; }
    double now() const override { return static_cast<double>(nowUs_) / 1e6; }
    double lineTime(size_t n) const override {
        return static_cast<double>(n * toServer_.byteUs()) / 1e6;
    }
    bool write(const uint8_t* data, size_t n) override {
        toServer_.send(nowUs_, data, n);
        bytesOut += n;
        return true;
    }
    void offerByte(uint8_t b) override { write(&b, 1); }
    void forgetUnheard() override { toServer_.queue.clear(); }

    // NEVER once the box waits for nothing (its download is over).
    uint64_t nextEventUs() const;
    void runUntil(uint64_t us);
    uint64_t nowUs() const { return nowUs_; }
    uint64_t events = 0; // bytes taken and waits ended: a runaway guard for the port

protected:
    bool begin(LineWait& wait) override;
    void park(LineWait& wait) override { wait_ = &wait; }

private:
    // Rounded up: a wait of any time at all moves the clock on.
    static uint64_t micros(double seconds) {
        return seconds <= 0 ? 0 : static_cast<uint64_t>(std::ceil(seconds * 1e6));
    }

    VirtualWire& toBox_;
    VirtualWire& toServer_;
    std::string name_;
    uint64_t nowUs_ = 0;
    LineWait* wait_ = nullptr;
    uint64_t deadlineUs_ = 0;
};

} // namespace boxsim
