// The verdict of an attempt: one table of what happened against the outcome and its words.

#include "link/result_codes.h"
#include "station/verdict.h"
#include "station/yield.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune::station {
namespace {

AttemptFacts woke(AttemptEnd end) {
    AttemptFacts f;
    f.end = end;
    f.boxWoke = true;
    f.responseAccepted = true;
    f.moduleBytes = 34768;
    return f;
}

TEST(Verdict, EveryWayAnAttemptEnds) {
    const auto complete = [] {
        AttemptFacts f = woke(AttemptEnd::SessionEnded);
        f.sessionSucceeded = true;
        f.deliveredBytes = f.moduleBytes;
        return f;
    };
    const auto early = [] {
        AttemptFacts f = woke(AttemptEnd::SessionEnded);
        f.deliveredBytes = 4096;
        return f;
    };
    const auto refused = [](bool dataBlock, uint32_t naks) {
        AttemptFacts f = woke(AttemptEnd::Watchdog);
        f.deliveredBytes = 16384;
        f.lastFrame.dataBlock = dataBlock;
        f.lastFrame.moduleId = 0;
        f.lastFrame.blockNumber = dataBlock ? 1 : 0;
        f.lastFrame.refused = naks;
        return f;
    };
    const struct {
        const char* what;
        AttemptFacts facts;
        Outcome outcome;
        const char* reason; // "" for none; else a part of it
    } rows[] = {
        {"complete", complete(), Outcome::Complete, ""},
        // The box has its image: a stop that came late, or a port that would not close, does not
        // take that away.
        {"complete, then stopped",
         [&] {
             auto f = complete();
             f.end = AttemptEnd::Stopped;
             return f;
         }(),
         Outcome::Complete, ""},
        {"complete, then the port failed",
         [&] {
             auto f = complete();
             f.portProblem = "/dev/ttyUSB0 cannot be opened";
             f.downloadPortOpened = false;
             return f;
         }(),
         Outcome::Complete, ""},
        {"ended early", early(), Outcome::DownloadError,
         "the box ended the download after 4,096 of 34,768 module bytes"},
        {"a frame failed 10 attempts",
         [&] {
             auto f = early();
             f.resultCode = LINK_ERR_RETRIES;
             return f;
         }(),
         Outcome::DownloadError, "a frame failed 10 attempts (result 513); the box got 4,096 of"},
        {"response never accepted",
         [&] {
             auto f = early();
             f.resultCode = LINK_ERR_IO;
             f.responseAccepted = false;
             f.deliveredBytes = 0;
             return f;
         }(),
         Outcome::DownloadError, "the box never accepted the DownloadInfoResponse: no answer"},
        {"malformed request",
         [&] {
             auto f = early();
             f.resultCode = DSMCC_ERR_COMPATIBILITY;
             return f;
         }(),
         Outcome::DownloadError, "(result 1319)"},
        {"download port did not open",
         [&] {
             auto f = early();
             f.downloadPortOpened = false;
             f.portProblem = "/dev/ttyUSB0 is busy";
             f.resultCode = LINK_ERR_IO;
             return f;
         }(),
         Outcome::PortFailure, "/dev/ttyUSB0 is busy"},
        {"no box within 20 s",
         [] {
             AttemptFacts f;
             f.end = AttemptEnd::Watchdog;
             return f;
         }(),
         Outcome::NotResponding, "no box woke up within 20 s"},
        {"box went silent", refused(true, 0), Outcome::NotResponding,
         "the box stopped answering during the download"},
        // The watchdog fired while the box was answering, with NAKs.
        {"box refused a block", refused(true, 6), Outcome::NotResponding,
         "no frame got through for 20 s: the box refused block 1 of module 0 6 times with CRC "
         "errors"},
        {"box refused the response", refused(false, 1), Outcome::NotResponding,
         "the box refused the DownloadInfoResponse once"},
        {"port would not open",
         [] {
             AttemptFacts f;
             f.end = AttemptEnd::PortNotOpened;
             f.portProblem = "no such device /dev/ttyUSB0";
             return f;
         }(),
         Outcome::PortFailure, "no such device /dev/ttyUSB0"},
        {"port went away while watched",
         [] {
             AttemptFacts f;
             f.end = AttemptEnd::PortLost;
             return f;
         }(),
         Outcome::PortFailure, "/dev/ttyUSB0 went away"},
        {"stopped while waiting", AttemptFacts{}, Outcome::Aborted, "stopped from outside"},
        {"aborted mid-download",
         [&] {
             auto f = early();
             f.end = AttemptEnd::Stopped;
             return f;
         }(),
         Outcome::Aborted, "stopped from outside after 4,096 of 34,768 module bytes"},
    };
    for (const auto& row : rows) {
        const Verdict v = judgeAttempt(row.facts, "/dev/ttyUSB0");
        EXPECT_EQ(v.outcome, row.outcome) << row.what;
        if (row.reason[0] == '\0') {
            EXPECT_EQ(v.reason, "") << row.what;
        } else {
            EXPECT_NE(v.reason.find(row.reason), std::string::npos) << row.what << ": " << v.reason;
        }
    }
}

// A box's attempts in order, as the station sees them: whether it is served again after each
// (given that it wakes up again), and the port's failures in a row.
TEST(StationRules, RetriesAndFailuresInARow) {
    using O = Outcome;
    const struct {
        const char* what;
        uint32_t retries;
        std::vector<O> attempts;
        std::vector<bool> servedAgain;
        uint32_t failuresInRow; // after the last
    } rows[] = {
        {"failed, then complete", 2, {O::DownloadError, O::Complete}, {true, false}, 0},
        {"failed N+1 times",
         2,
         {O::NotResponding, O::DownloadError, O::NotResponding},
         {true, true, false},
         3},
        {"complete, then rebooting: never twice", 2, {O::Complete}, {false}, 0},
        {"no retries", 0, {O::DownloadError}, {false}, 1},
        {"wrong box: not served again, the port not blamed", 2, {O::WrongBox}, {false}, 0},
        {"port failures count against the port",
         0,
         {O::PortFailure, O::PortFailure},
         {false, false},
         2},
        {"aborted: neither", 3, {O::Aborted}, {false}, 0},
    };
    for (const auto& row : rows) {
        uint32_t inRow = 0;
        for (size_t i = 0; i < row.attempts.size(); ++i) {
            EXPECT_EQ(mayRetry(row.attempts[i], static_cast<uint32_t>(i + 1), row.retries),
                      row.servedAgain[i])
                << row.what << ", attempt " << i + 1;
            inRow = failuresInRowAfter(inRow, row.attempts[i]);
        }
        EXPECT_EQ(inRow, row.failuresInRow) << row.what;
    }
    EXPECT_EQ(failuresInRowAfter(5, O::Complete), 0u) << "a complete download clears the count";
}

TEST(HardwareGuard, ServesOnlyTheExpectedHardware) {
    BoxIdentity box;
    box.requestSeen = true;
    box.hardware = {true, 1, 0x00A0B1, 0x5601, 0x0203, 0};
    BoxIdentity noHardware;
    noHardware.requestSeen = true;
    const auto guard = [](uint16_t model, int version, int64_t oui) {
        HardwareGuard g;
        g.active = true;
        g.model = model;
        g.checkVersion = version >= 0;
        g.version = static_cast<uint16_t>(version);
        g.checkOui = oui >= 0;
        g.oui = static_cast<uint32_t>(oui);
        return g;
    };
    const struct {
        const char* what;
        HardwareGuard guard;
        const BoxIdentity& box;
        bool served;
    } rows[] = {
        {"no guard", HardwareGuard{}, noHardware, true},
        {"model", guard(0x5601, -1, -1), box, true},
        {"model and version", guard(0x5601, 0x0203, -1), box, true},
        {"model, version and OUI", guard(0x5601, 0x0203, 0x00A0B1), box, true},
        {"another model", guard(0x5602, -1, -1), box, false},
        {"another version", guard(0x5601, 0x0204, -1), box, false},
        {"another OUI", guard(0x5601, -1, 0x00A0B2), box, false},
        {"no type-1 descriptor", guard(0x5601, -1, -1), noHardware, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(hardwareMatches(row.guard, row.box), row.served) << row.what;
    }
    AttemptFacts facts = woke(AttemptEnd::WrongBox);
    facts.identity = &box;
    facts.guard = guard(0x5602, 1, -1);
    const Verdict v = judgeAttempt(facts, "/dev/ttyUSB0");
    EXPECT_EQ(v.outcome, Outcome::WrongBox);
    EXPECT_EQ(v.reason, "the box is hardware OUI 00-A0-B1 model 0x5601 version 0x0203; no "
                        "software descriptor, not the hardware model 0x5602 version 0x0001 "
                        "expected; it was not served");
}

// One shift as the three front ends once saw it: 15 complete, 5 failed, 6 wrong boxes, 1 box
// whose port went away, and 3 port failures with no box on the port.
TEST(Yield, EveryBoxCountsOnceByItsLastAttemptAndAPortAloneIsNoBox) {
    struct Case {
        const char* name;
        BoxCounts counts;
        const char* text;
    };
    const Case cases[] = {
        {"the shift", {15, 5, 0, 6, 1}, "55.6 %"},
        {"aborted boxes count", {3, 0, 1, 0, 0}, "75.0 %"},
        {"all complete", {4, 0, 0, 0, 0}, "100.0 %"},
        {"only wrong boxes", {0, 0, 0, 2, 0}, "0.0 %"},
        {"no box yet", {}, "-"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(yieldText(c.counts), c.text) << c.name;
        double fraction = -1;
        EXPECT_EQ(yieldOf(c.counts, fraction), c.counts.boxes() != 0) << c.name;
    }
}

} // namespace
} // namespace kestrune::station
