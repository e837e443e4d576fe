#pragma once

// What the tests of the real serial port backends (termios on pseudo-terminals, Win32 on
// Wine's COM1) check alike: the error sink's calls and how long a time-out took.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune::test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

struct SinkLog {
    int calls = 0;
    std::string text;
    std::string caption;
};

inline void recordSink(void* context, const char* text, const char* caption) {
    auto* log = static_cast<SinkLog*>(context);
    ++log->calls;
    log->text = text;
    log->caption = caption;
}

inline long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Within 20 % of the time asked for, and 50 ms a busy machine may take to schedule the thread
// again (the test runs beside others); never earlier than `earlyMs` before it (Wine's timer
// tick can end a wait that much early).
inline void expectWaited(long elapsedMs, long askedMs, long earlyMs = 0) {
    std::printf("  waited %ld ms for a %ld ms time-out\n", elapsedMs, askedMs);
    EXPECT_GE(elapsedMs, askedMs - earlyMs);
    EXPECT_LE(elapsedMs, askedMs + askedMs / 5 + 50);
}

} // namespace kestrune::test
