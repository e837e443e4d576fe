// The session gate: after an Abort has asked the session to stop and found it safe to end,
// the session thread never runs a window call again.

#include "ui/session_gate.h"

#include <gtest/gtest.h>

namespace kestrune::ui {
namespace {

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
} // namespace
} // namespace kestrune::ui
