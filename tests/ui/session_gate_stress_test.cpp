// The session gate under real threads: thousands of rounds of an Abort at every moment of a
// session's window calls. It has a label of its own (stress), so that the unit tier stays
// seconds long.

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
