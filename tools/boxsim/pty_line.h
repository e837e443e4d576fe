#pragma once

// The box's end of a pseudo-terminal or serial device, in real time: paced like a real line
// when asked, and, when asked, as noisy as a bad cable (the noise model of noise.h), in both
// directions. Every wait finishes inside the call.

#include "tools/boxsim/box_link.h"
#include "tools/boxsim/line.h"
#include "tools/boxsim/noise.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

namespace boxsim {

using Clock = std::chrono::steady_clock;

class PtyLine final : public Line {
public:
    PtyLine(int fd, uint32_t baud, NoiseModel& noise, std::string name)
        : fd_(fd), baud_(baud), noise_(noise), name_(std::move(name)), start_(Clock::now()) {}

    const std::string& name() const override { return name_; }
    double now() const override {
        return std::chrono::duration<double>(Clock::now() - start_).count();
    }
    double lineTime(size_t n) const override {
        return baud_ == 0 ? 0.0 : static_cast<double>(n) * 10.0 / baud_;
    }
    int fd() const { return fd_; }
    // The pseudo-terminal's slave side that the box keeps open (none on a serial device).
    void keepSlave(int fd) { slave_ = fd; }

    bool write(const uint8_t* data, size_t n) override;
    // What the previous byte left unread is gone first, and a full buffer drops the byte
    // instead of blocking the box.
    void offerByte(uint8_t b) override;
    // Only a pseudo-terminal keeps unread bytes; a real device has nothing to forget.
    void forgetUnheard() override;
    void drain();
    // The box is gone: both sides of the pseudo-terminal (or the device) are closed, and the
    // server's end sees a hang-up. Nothing can be read or written afterwards.
    void unplug();

protected:
    bool begin(LineWait& wait) override;
    void park(LineWait&) override {}

private:
    size_t read(uint8_t* buffer, size_t n, double timeout);

    int fd_;
    int slave_ = -1;
    uint32_t baud_;
    NoiseModel& noise_;
    std::string name_;
    Clock::time_point start_;
    std::deque<uint8_t> pending_;
};

} // namespace boxsim
