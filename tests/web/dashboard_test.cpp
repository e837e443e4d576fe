// The dashboard between the station loop and the table: it passes every event on, counts every
// recorded attempt, and never lets a client that does not read hold up the station.

#include "web/dashboard.h"
#include "web/web_server.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kestrune::web {
namespace {

using namespace kestrune::station;
using nlohmann::json;

struct Lines final : StationEvents {
    void event(const std::string& port, const std::string& text) override {
        lines.push_back(port + ": " + text);
    }
    std::vector<std::string> lines;
};

AttemptReport attempt(Outcome outcome, double seconds, bool boxWoke = true) {
    AttemptReport r;
    r.outcome = outcome;
    r.boxWoke = boxWoke;
    r.deliveredBytes = outcome == Outcome::Complete ? 1000 : 100;
    r.framesResent = 2;
    r.started = std::chrono::system_clock::now();
    r.ended = r.started + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    r.reason = outcome == Outcome::Complete ? "" : "why";
    return r;
}

struct Station {
    Station(DashboardOptions options = {})
        : a("/dev/a"), b("/dev/b"), dashboard({&a, &b}, {"image.dl", 10, "00"}, table, options) {}
    PortStatus a;
    PortStatus b;
    Lines table;
    Dashboard dashboard;
};

TEST(Dashboard, CountsEveryRecordedAttemptOfItsPort) {
    Station s;
    // Port a: a box failed, was served again and completed; then a port failure (no box).
    s.dashboard.attemptEnded(s.a, attempt(Outcome::DownloadError, 3), {1, "box-1", 1});
    s.dashboard.attemptEnded(s.a, attempt(Outcome::Complete, 7), {2, "box-1", 0});
    s.dashboard.attemptEnded(s.a, attempt(Outcome::PortFailure, 0, false), {1, "", 1});
    s.a.done = 1;
    const StationView v = s.dashboard.view();
    const PortView& a = v.ports[0];
    EXPECT_EQ(a.attempts, (std::map<std::string, uint64_t>{
                              {"complete", 1}, {"download error", 1}, {"port failure", 1}}));
    EXPECT_EQ(a.retries, 1u);
    EXPECT_EQ(a.deliveredBytes, 1100u);
    EXPECT_EQ(a.framesResent, 4u);
    EXPECT_EQ(a.durationCount, 2u); // the port failure had no download
    EXPECT_EQ(a.durationBuckets[durationBucket(3)], 1u);
    EXPECT_EQ(a.durationBuckets[durationBucket(7)], 1u);
    EXPECT_EQ(a.last.outcome, "port failure");
    EXPECT_EQ(a.done, 1u); // the table's count, from the port's status
    EXPECT_TRUE(v.ports[1].attempts.empty());
    EXPECT_FALSE(v.ports[1].hasLast);
}

TEST(Dashboard, TheShiftsFailuresByCauseAreTheReportsFromTheRecordLines) {
    Station s;
    // The same block stops a download on both ports: the image, named on the page and in the
    // JSON as the report would name it.
    AttemptReport failed = attempt(Outcome::DownloadError, 3);
    failed.stoppedInBlock = true;
    failed.stoppedModule = 1;
    failed.stoppedBlock = 3;
    s.dashboard.attemptEnded(s.a, failed, {1, "box-1", 1});
    EXPECT_TRUE(s.dashboard.view().causes.empty()); // one port alone says nothing of the image
    s.dashboard.attemptEnded(s.b, failed, {1, "box-2", 1});
    const StationView v = s.dashboard.view();
    ASSERT_EQ(v.causes.size(), 1u);
    const json causes = json::parse(stationJson(v))["causes"];
    ASSERT_EQ(causes.size(), 1u);
    EXPECT_EQ(causes[0]["cause"], "image");
    EXPECT_EQ(causes[0]["ports"], json({"/dev/a", "/dev/b"}));
    EXPECT_EQ(causes[0]["failed"], 2);
    EXPECT_EQ(causes[0]["evidence"],
              "block 3 of module 1 failed on 2 of 2 ports (2 downloads): check the image");
}

TEST(Dashboard, PassesEveryEventOnAndKeepsTheLatest) {
    Station s(DashboardOptions{3, 16, std::chrono::milliseconds(5000)});
    for (int i = 1; i <= 5; ++i) {
        s.dashboard.event("/dev/a", "event " + std::to_string(i));
    }
    EXPECT_EQ(s.table.lines.size(), 5u);
    const StationView v = s.dashboard.view();
    ASSERT_EQ(v.events.size(), 3u);
    EXPECT_EQ(v.events.front().text, "event 3");
    EXPECT_EQ(v.events.back().text, "event 5");
}

TEST(Dashboard, AClientThatDoesNotReadIsDroppedAndNeverHoldsUpThePublisher) {
    Station s(DashboardOptions{20, 4, std::chrono::milliseconds(100000)});
    auto slow = s.dashboard.subscribe();
    auto reader = s.dashboard.subscribe();
    size_t read = 0;
    Message m;
    while (reader->pop(m, std::chrono::milliseconds(0)) == ClientQueue::Next::Message) {
        ++read; // the retry line and the state now
    }
    EXPECT_EQ(read, 2u);
    s.a.state = PortState::Downloading;
    s.a.totalBytes = 1000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 50; ++i) {
        s.a.acknowledgedBytes = static_cast<uint64_t>(i); // a change: a message
        s.dashboard.publish();
        ASSERT_EQ(reader->pop(m, std::chrono::milliseconds(0)), ClientQueue::Next::Message);
        EXPECT_NE(m->find("data: {"), std::string::npos);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(slow->dropped());
    EXPECT_EQ(slow->pop(m, std::chrono::milliseconds(0)), ClientQueue::Next::Ended);
    EXPECT_EQ(s.dashboard.clients(), 1u);
    EXPECT_EQ(s.dashboard.dropped(), 1u);
}

TEST(Dashboard, NoChangeNoMessageUntilTheHeartbeat) {
    Station s(DashboardOptions{20, 8, std::chrono::milliseconds(100000)});
    s.dashboard.publish();
    auto client = s.dashboard.subscribe();
    Message m;
    ASSERT_EQ(client->pop(m, std::chrono::milliseconds(0)), ClientQueue::Next::Message); // retry
    ASSERT_EQ(client->pop(m, std::chrono::milliseconds(0)), ClientQueue::Next::Message); // now
    s.dashboard.publish();
    EXPECT_EQ(client->pop(m, std::chrono::milliseconds(0)), ClientQueue::Next::Timeout);
    s.b.state = PortState::Downloading;
    s.dashboard.publish();
    ASSERT_EQ(client->pop(m, std::chrono::milliseconds(0)), ClientQueue::Next::Message);
    const json state = json::parse(m->substr(6));
    EXPECT_EQ(state["ports"][1]["state"], "downloading");
    s.dashboard.closeAll();
    EXPECT_EQ(client->pop(m, std::chrono::milliseconds(0)), ClientQueue::Next::Ended);
}

TEST(HttpAddress, PortAloneIsLoopbackAndAnAddressMustBeNamed) {
    const struct {
        const char* text;
        const char* address; // nullptr: refused
        int port;
    } cases[] = {{"8080", "127.0.0.1", 8080}, {"0.0.0.0:8080", "0.0.0.0", 8080},
                 {"[::1]:9100", "::1", 9100}, {"localhost:0", "localhost", 0},
                 {"65536", nullptr, 0},       {":8080", nullptr, 0},
                 {"8080:", nullptr, 0},       {"http", nullptr, 0},
                 {"10.0.0.1:80a", nullptr, 0}};
    for (const auto& c : cases) {
        std::string address;
        int port = -1;
        const std::string wrong = parseHttpAddress(c.text, address, port);
        if (c.address == nullptr) {
            EXPECT_FALSE(wrong.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(wrong, "") << c.text;
        EXPECT_EQ(address, c.address) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

} // namespace
} // namespace kestrune::web
