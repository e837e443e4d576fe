// The session gate: after an Abort has asked the session to stop and found it safe to end,
// the session thread never runs a window call again.

#include "ui/session_gate.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace kestrune::ui {
namespace {

// A little work that the compiler keeps.
void spin(int n) {
    std::atomic<int> work{0};
    for (int i = 0; i < n; ++i) {
        work.fetch_add(1, std::memory_order_relaxed);
    }
}

TEST(SessionGate, StopDuringAWindowCallWaitsForItsEnd) {
    SessionGate gate;
    gate.reset();
    EXPECT_TRUE(gate.enter());
    EXPECT_TRUE(gate.leave());
    EXPECT_FALSE(gate.mayTerminate()); // nobody asked

    EXPECT_TRUE(gate.enter());
    gate.requestStop();
    EXPECT_FALSE(gate.mayTerminate()); // inside the window call
    EXPECT_FALSE(gate.leave());        // the caller parks
    EXPECT_EQ(gate.place(), SessionGate::Parked);
    EXPECT_TRUE(gate.mayTerminate());
}

TEST(SessionGate, StopOutsideAWindowCallKeepsTheNextOneFromStarting) {
    SessionGate gate;
    gate.reset();
    gate.requestStop();
    EXPECT_TRUE(gate.mayTerminate()); // in the link or a pause: safe to end
    EXPECT_FALSE(gate.enter());
    EXPECT_EQ(gate.place(), SessionGate::Parked);
    EXPECT_TRUE(gate.mayTerminate());

    // The next session starts afresh.
    gate.reset();
    EXPECT_FALSE(gate.stopRequested());
    EXPECT_TRUE(gate.enter());
}

// A session thread that does nothing but window calls and work between them, stopped at a
// different moment in every round: once the main thread may terminate, no window call runs.
TEST(SessionGate, NoWindowCallAfterTheAbortMayTerminate) {
    SessionGate gate;
    int violations = 0;
    int stoppedInside = 0;
    for (int round = 0; round < 1500; ++round) {
        gate.reset();
        std::atomic<bool> terminated{false};
        std::atomic<bool> release{false};
        std::atomic<int> calls{0};
        std::atomic<int> lateCalls{0};
        std::thread session([&] {
            for (;;) {
                if (!gate.enter()) {
                    break;
                }
                if (terminated.load()) {
                    ++lateCalls; // a window call after the Abort decided to end the thread
                }
                spin(200 + 30 * (round % 7));
                ++calls;
                if (!gate.leave()) {
                    break;
                }
                spin(100 + 30 * (round % 5));
            }
            while (!release.load()) {
                std::this_thread::yield();
            }
        });
        while (calls.load() == 0) {
            std::this_thread::yield();
        }
        spin((round % 400) * 13);
        gate.requestStop();
        stoppedInside += gate.place() == SessionGate::InWindow;
        while (!gate.mayTerminate()) {
            std::this_thread::yield();
        }
        terminated.store(true);
        const int callsAtEnd = calls.load();
        std::this_thread::yield();
        violations += lateCalls.load() + (calls.load() != callsAtEnd);
        release.store(true);
        session.join();
    }
    EXPECT_EQ(violations, 0);
    // The rounds did stop the session in the middle of a call as well as between calls.
    EXPECT_GT(stoppedInside, 0);
}

} // namespace
} // namespace kestrune::ui
