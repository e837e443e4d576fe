// The Station on real pseudo-terminals: a thread that cannot be started (a port's, or a
// session's) is told and handled, and every thread that did start has ended when run() returns,
// before the front end that hears the station's events is gone.

#include "station/station.h"
#include "tests/support/pty_peer.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace kestrune::station {
namespace {

using test::PtyPair;

// Fails the starts whose numbers it is given (1 for the first), and counts the threads alive.
struct FlakyThreads final : ThreadStarter {
    explicit FlakyThreads(std::set<int> fail) : failing(std::move(fail)) {}
    std::string start(std::thread& thread, std::function<void()> body) override {
        if (failing.count(++calls) != 0) {
            return "Resource temporarily unavailable";
        }
        alive += 1;
        thread = std::thread([this, body = std::move(body)] {
            body();
            alive -= 1;
        });
        return "";
    }
    const std::set<int> failing;
    std::atomic<int> calls{0};
    std::atomic<int> alive{0};
};

struct PtyEvents final : StationEvents {
    void event(const std::string& port, const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(port + ": " + text);
    }
    bool said(const std::string& part) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& line : lines) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

TEST(Station, HandlesAThreadThatCannotStartAndJoinsEveryOther) {
    const struct {
        const char* what;
        std::set<int> fail; // the starts that fail: 1-3 the ports', then the sessions'
        bool wake;          // a box wakes on every port
        StationResult result;
        const char* said;
        uint32_t failed; // boxes counted as failed
    } rows[] = {
        {"the second port's thread",
         {2},
         false,
         StationResult::PortNotStarted,
         "cannot start the port's thread (Resource temporarily unavailable); the station stops",
         0},
        {"every port's thread",
         {1, 2, 3},
         false,
         StationResult::PortNotStarted,
         "cannot start the port's thread",
         0},
        {"a session's thread",
         {4},
         true,
         StationResult::Failed,
         "the download could not start: no thread for its session",
         1},
    };
    for (const auto& row : rows) {
        std::vector<std::unique_ptr<PtyPair>> lines;
        StationSettings settings;
        settings.image = KESTRUNE_SAMPLE;
        settings.settle = 0.2;
        for (int i = 0; i < 3; ++i) {
            lines.push_back(std::make_unique<PtyPair>());
            settings.ports.push_back(lines.back()->slavePath);
        }
        StopSignal stop;
        FlakyThreads threads(row.fail);
        Station station(settings, stop, threads);
        ASSERT_FALSE(station.checkPorts()) << row.what;
        LoadStatus status;
        ASSERT_TRUE(station.loadImage(status)) << row.what;
        ASSERT_FALSE(station.openOutputs()) << row.what;
        ASSERT_TRUE(station.openPorts().empty()) << row.what;
        {
            // The events' front end lives only as long as run(): nothing may use it later.
            auto events = std::make_unique<PtyEvents>();
            int ticks = 0;
            station.run(*events, [&] {
                if (row.wake && ticks == 3) {
                    lines[0]->send({0x55}); // a box wakes on the first port
                }
                if (++ticks == 20 || (row.wake && events->said("could not start"))) {
                    stop.stopWaiting();
                }
                if (ticks == 100) {
                    ADD_FAILURE() << row.what << ": the station does not end";
                    stop.abort();
                }
            });
            EXPECT_EQ(threads.alive.load(), 0) << row.what;
            EXPECT_TRUE(events->said(row.said)) << row.what;
        }
        EXPECT_EQ(station.result(), row.result) << row.what;
        EXPECT_EQ(station.totals().failed, row.failed) << row.what;
        for (const PortStatus* port : station.ports()) {
            EXPECT_EQ(port->state.load(), PortState::Stopped) << row.what;
        }
    }
}

// A reload restarts every port, and a port's line must be silent before it takes a box, since its
// last one may be restarting. A port that had been waiting on a quiet line has had its silence:
// a box that wakes right after the reload is served, not taken for a restart until it gives up.
TEST(Station, ServesABoxThatWakesRightAfterAReload) {
    PtyPair line;
    StationSettings settings;
    settings.image = KESTRUNE_SAMPLE;
    settings.settle = 1;
    settings.ports.push_back(line.slavePath);
    StopSignal stop;
    Station station(settings, stop);
    ASSERT_FALSE(station.checkPorts());
    LoadStatus status;
    ASSERT_TRUE(station.loadImage(status));
    ASSERT_FALSE(station.openOutputs());
    ASSERT_TRUE(station.openPorts().empty());
    PtyEvents events;
    int ticks = 0;
    station.run(events, [&] {
        ++ticks;
        if (ticks == 15) { // 1.5 s of a waiting port, more than its settle time
            EXPECT_EQ(station.reload(settings), "");
        }
        if (ticks > 15 && ticks < 40) {
            line.send({0x55}); // the next box wakes, a byte every 100 ms
        }
        if (events.said("a box woke up") || ticks == 40) {
            stop.abort();
        }
    });
    EXPECT_TRUE(events.said("a box woke up")) << "the port settled on a waking box";
}

} // namespace
} // namespace kestrune::station
