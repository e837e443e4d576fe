#pragma once

// The box's end of a serial line, as the box sees it: writes, reads with a time-out, pauses
// and a clock. Two kinds: a pseudo-terminal or serial device in real time (pty_line.h, the
// simulator), where every wait finishes inside the call, and a virtual line in virtual time
// (virtual_line.h, the unit tests, the soak test, the fuzz target), where a wait suspends the
// box's coroutine until the virtual port brings bytes or time.

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <string>

namespace boxsim {

class Line;

// One wait of the box: n bytes (or one byte, or none: a pause) within a time-out that starts
// again with every byte received.
struct LineWait {
    LineWait(Line& l, uint8_t* b, size_t count, double seconds, bool isPause = false)
        : line(l), buffer(b), n(count), timeout(seconds), pause(isPause) {}

    Line& line;
    uint8_t* buffer; // null: one byte, into `one`
    size_t n;
    double timeout; // seconds
    bool pause = false;
    size_t got = 0;
    uint8_t one = 0;
    std::coroutine_handle<> waiter;

    uint8_t* into() { return buffer != nullptr ? buffer : &one; }
    bool await_ready();
    void await_suspend(std::coroutine_handle<> h);
};

struct ReadBlock : LineWait {
    using LineWait::LineWait;
    size_t await_resume() const { return got; }
};
struct ReadOne : LineWait {
    using LineWait::LineWait;
    int await_resume() const { return got == 1 ? one : -1; }
};
struct Pause : LineWait {
    using LineWait::LineWait;
    void await_resume() const {}
};

class Line {
public:
    virtual ~Line() = default;

    virtual const std::string& name() const = 0;
    // Seconds on the line's clock (real or virtual).
    virtual double now() const = 0;
    // Seconds the line takes for n bytes at its paced rate.
    virtual double lineTime(size_t n) const = 0;
    virtual bool write(const uint8_t* data, size_t n) = 0;
    bool writeByte(uint8_t b) { return write(&b, 1); }
    // A wake-up byte: a line keeps no backlog for a port that nobody reads.
    virtual void offerByte(uint8_t b) = 0;
    // Bytes the box sent that nobody has read are gone (a power-off).
    virtual void forgetUnheard() = 0;

    // Reads exactly n bytes unless `timeout` seconds pass without a byte: the count.
    ReadBlock read(uint8_t* buffer, size_t n, double timeout) {
        return ReadBlock(*this, buffer, n, timeout);
    }
    // One byte within `timeout` seconds, or -1.
    ReadOne readByte(double timeout) { return ReadOne(*this, nullptr, 1, timeout); }
    Pause pause(double seconds) { return Pause(*this, nullptr, 0, seconds, true); }

    uint64_t bytesOut = 0;
    uint64_t bytesIn = 0;

protected:
    friend struct LineWait;
    // Does the wait at once when it can (a real line always can): true when done.
    virtual bool begin(LineWait& wait) = 0;
    // Keeps a wait that begin() could not finish; the line resumes wait.waiter when it is done.
    virtual void park(LineWait& wait) = 0;
};

inline bool LineWait::await_ready() {
    return line.begin(*this);
}
inline void LineWait::await_suspend(std::coroutine_handle<> h) {
    waiter = h;
    line.park(*this);
}

} // namespace boxsim
