#pragma once

// The box's end of the serial line: paced like a real line when asked, and, when asked, as
// noisy as a bad cable (flipped bits, lost, doubled and stray bytes, silences), in both
// directions, from a seed so that a failing run can be run again.

#include "tools/boxsim/box_image.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>

namespace boxsim {

using Clock = std::chrono::steady_clock;

class Noise {
public:
    // rate: the chance of a fault per byte (0 = a clean line).
    Noise(double rate, uint64_t seed) : rate_(rate), random_(seed) {}
    bool active() const { return rate_ > 0 && on_; }
    // The wake-up exchange stays clean: the noise starts with the first frame.
    void start() { on_ = rate_ > 0; }
    void stop() { on_ = false; }

    // Bytes as they leave the box; `pause` receives a silence to keep before them (seconds).
    void outgoing(const uint8_t* data, size_t n, Bytes& out, double& pause);
    // Bytes as they reach the box.
    void incoming(const uint8_t* data, size_t n, std::deque<uint8_t>& into);
    uint64_t faults() const { return faults_; }

private:
    enum Kind { Flip, Drop, Double, Stray, Silence, Kinds };
    bool strike() { return std::uniform_real_distribution<double>(0, 1)(random_) < rate_; }
    Kind kind() {
        return static_cast<Kind>(std::uniform_int_distribution<int>(0, Kinds - 1)(random_));
    }
    uint8_t byte() {
        return static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 255)(random_));
    }

    double rate_;
    bool on_ = false;
    std::mt19937_64 random_;
    uint64_t faults_ = 0;
};

class Line {
public:
    Line(int fd, uint32_t baud, Noise& noise, std::string name)
        : fd_(fd), baud_(baud), noise_(noise), name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    int fd() const { return fd_; }
    // The pseudo-terminal's slave side that the box keeps open (none on a serial device).
    void keepSlave(int fd) { slave_ = fd; }
    uint64_t bytesOut = 0;
    uint64_t bytesIn = 0;

    // Seconds the line takes for n bytes at the paced rate.
    double lineTime(size_t n) const {
        return baud_ == 0 ? 0.0 : static_cast<double>(n) * 10.0 / baud_;
    }

    bool write(const uint8_t* data, size_t n);
    bool writeByte(uint8_t b) { return write(&b, 1); }
    // A wake-up byte. Like a real line, the line keeps no backlog for a port that nobody
    // reads: what the previous byte left unread is gone first, and a full buffer drops the
    // byte instead of blocking the box.
    void offerByte(uint8_t b);
    // Bytes the box sent that nobody has read are gone (a line carries no backlog across a
    // power-off). Only a pseudo-terminal keeps them; a real device has nothing to forget.
    void forgetUnheard();
    // Reads exactly n bytes unless `timeout` seconds pass without a byte. Returns the count.
    size_t read(uint8_t* buffer, size_t n, double timeout);
    // One byte within `timeout` seconds, or -1.
    int readByte(double timeout) {
        uint8_t b = 0;
        return read(&b, 1, timeout) == 1 ? b : -1;
    }
    // Throws away what arrives until the line has been quiet for `quiet` seconds.
    void settle(double quiet);
    void drain();
    // The box is gone: both sides of the pseudo-terminal (or the device) are closed, and the
    // server's end sees a hang-up. Nothing can be read or written afterwards.
    void unplug();

private:
    int fd_;
    int slave_ = -1;
    uint32_t baud_;
    Noise& noise_;
    std::string name_;
    std::deque<uint8_t> pending_;
};

} // namespace boxsim
