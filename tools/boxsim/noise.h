#pragma once

// The one noise model of every simulated line: each byte, with a given chance, meets one
// fault: a flipped bit, a loss, a double, junk before it, or a silence. Seeded, so that a run
// that failed can be run again byte for byte.

#include <cstdint>

namespace boxsim {

struct SplitMix {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

struct Fault {
    enum Kind { None, Flip, Drop, Double, Junk, Silence };
    Kind kind = None;
    uint64_t param = 0;

    uint8_t flipMask() const { return static_cast<uint8_t>(1u << (param & 7)); }
    uint32_t junkCount() const { return static_cast<uint32_t>(param % 3) + 1; }
    uint8_t junk(uint32_t j) const { return static_cast<uint8_t>(param >> (8 * j + 2)); }
    // Mostly short, now and then longer than a frame's time-out.
    uint64_t silenceUs() const {
        return (param % 5 == 0 ? 1000 + (param >> 3) % 7000 : 20 + (param >> 3) % 380) * 1000;
    }
};

class NoiseModel {
public:
    // faultsPerByte: 0 is a clean line. `state` seeds the generator.
    NoiseModel(double faultsPerByte, uint64_t state)
        : threshold_(thresholdOf(faultsPerByte)), random_{state} {}

    // A line that gets worse (or better) from one box to the next; the draws go on as before.
    void setRate(double faultsPerByte) { threshold_ = thresholdOf(faultsPerByte); }

    bool noisy() const { return threshold_ != 0 && on_; }
    // The wake-up exchange of the simulator stays clean: its noise starts with the first frame.
    void start() { on_ = true; }
    void stop() { on_ = false; }

    // The fault for the next byte (one draw per byte, clean or not, so that a seed replays).
    Fault next() {
        if (!on_) {
            return {};
        }
        const uint64_t u = random_.next();
        if ((u & 0xFFFFF) >= threshold_) {
            return {};
        }
        ++faults;
        const uint32_t kind = static_cast<uint32_t>((u >> 20) & 0x7F) % 100;
        const uint64_t param = u >> 32;
        return {kind < 40   ? Fault::Flip
                : kind < 55 ? Fault::Drop
                : kind < 70 ? Fault::Double
                : kind < 85 ? Fault::Junk
                            : Fault::Silence,
                param};
    }

    uint64_t faults = 0;

private:
    static uint32_t thresholdOf(double faultsPerByte) {
        return static_cast<uint32_t>((faultsPerByte < 1 ? faultsPerByte : 1) * 1048576.0 + 0.5);
    }

    uint32_t threshold_; // faults per 2^20 bytes
    SplitMix random_;
    bool on_ = true;
};

} // namespace boxsim
