#pragma once

// One direction of a serial line in virtual time (microseconds): bytes queue up behind each
// other at the line's rate and each may meet the noise model's fault on the way.

#include "tools/boxsim/noise.h"

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

} // namespace boxsim
