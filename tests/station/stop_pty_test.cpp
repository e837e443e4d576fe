// The runner and the station loop on real pseudo-terminals, in real time: a stop ends every
// kind of wait within a second, and a watched port that goes away is a port failure.

#include "station/station_loop.h"
#include "tests/support/pty_peer.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrune::station {
namespace {

using Clock = std::chrono::steady_clock;
using test::PtyPair;

struct Events final : StationEvents {
    void event(const std::string& port, const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(port + ": " + text);
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

RunnerOptions options(const std::string& port, const StopSignal& stop) {
    RunnerOptions o;
    o.port = port;
    o.waitIndefinitely = true;
    o.stop = &stop;
    return o;
}

DownloadInfoResponse noModules() {
    DownloadInfoResponse image{};
    return image;
}

// Runs `body` while, 300 ms in, `act` happens on another thread; returns the seconds from
// `act` to the end of `body`.
template <typename Body, typename Act> double timeAfter(Body body, Act act) {
    Clock::time_point acted{};
    std::thread actor([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        acted = Clock::now();
        act();
    });
    body();
    const Clock::time_point ended = Clock::now();
    actor.join();
    return std::chrono::duration<double>(ended - acted).count();
}

// A port waiting for a box ends within a second of a stop, or of its device going away.
TEST(Stop, EndsAPortThatWaitsForABoxOrLosesItsDevice) {
    const struct {
        const char* what;
        bool hangUp; // else a stop
        Outcome outcome;
        const char* reason;
    } rows[] = {
        {"stopped", false, Outcome::Aborted, "stopped from outside"},
        {"the far side closed", true, Outcome::PortFailure, "went away"},
    };
    for (const auto& row : rows) {
        PtyPair pty;
        StopSignal stop;
        const DownloadInfoResponse image = noModules();
        PortRunner runner(options(pty.slavePath, stop), image, 7);
        struct : AttemptObserver {
        } observer;
        AttemptReport report;
        const double took = timeAfter([&] { report = runner.runAttempt(observer); },
                                      [&] { row.hangUp ? pty.closeMaster() : stop.stopWaiting(); });
        EXPECT_LT(took, 1.0) << row.what;
        EXPECT_EQ(report.outcome, row.outcome) << row.what;
        EXPECT_FALSE(report.boxWoke) << row.what;
        EXPECT_NE(report.reason.find(row.reason), std::string::npos) << report.reason;
    }
}

TEST(Stop, EndsASettlingPortWhoseBoxKeepsWaking) {
    PtyPair pty;
    StopSignal stop;
    const DownloadInfoResponse image = noModules();
    PortRunner runner(options(pty.slavePath, stop), image, 7);
    std::atomic<bool> done{false};
    std::thread box([&] {
        while (!done) {
            pty.send({0x55});
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const double took = timeAfter(
        [&] {
            while (!stop.stopping() && runner.lineActive(60000)) {
            }
        },
        [&] { stop.stopWaiting(); });
    done = true;
    box.join();
    EXPECT_LT(took, 1.0);
}

TEST(Stop, EndsAPortInItsRetryPause) {
    StopSignal stop;
    const DownloadInfoResponse image = noModules();
    PortRunner runner(options("/dev/kestrune-no-such-port", stop), image, 7);
    PortStatus status("/dev/kestrune-no-such-port");
    StationConfig config;
    config.retryMs = 60000;
    Events events;
    StationShared shared{config, events, stop};
    const double took =
        timeAfter([&] { servePort(shared, runner, status); }, [&] { stop.stopWaiting(); });
    EXPECT_LT(took, 1.0);
    EXPECT_EQ(status.state.load(), PortState::Stopped);
    EXPECT_EQ(status.portFailures.load(), 1u);
    ASSERT_FALSE(events.lines.empty());
    EXPECT_NE(events.lines[0].find("no such device"), std::string::npos) << events.lines[0];
}

} // namespace
} // namespace kestrune::station
