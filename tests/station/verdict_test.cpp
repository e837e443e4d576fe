// The verdict of an attempt: one table of what happened against the outcome and its words.

#include "common/result_codes.h"
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
    // Boxes a guard for model 0x5601 did not serve.
    BoxIdentity other;
    other.requestSeen = true;
    other.hardwareDescriptors = 1;
    other.hardware = {true, false, 1, 0x00A0B1, 0x5602, 0x0203, 0};
    BoxIdentity disagreeing = other;
    disagreeing.hardwareDescriptors = 2;
    disagreeing.hardwareDisagrees = true;
    disagreeing.otherHardware = {true, false, 1, 0x00A0B1, 0x5601, 0x0203, 0};
    BoxIdentity noHardware;
    noHardware.requestSeen = true;
    const BoxIdentity noRequest;
    const auto wrong = [](int requestResult, const BoxIdentity& identity) {
        AttemptFacts f = woke(AttemptEnd::WrongBox);
        f.responseAccepted = false;
        f.requestResult = requestResult;
        f.identity = &identity;
        f.guard.active = true;
        f.guard.model = 0x5601;
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
        // The watchdog fired while the box was answering, with NAKs or damaged frames: a
        // download error, its reason first, not a box without power.
        {"box refused a block", refused(true, 6), Outcome::DownloadError,
         "no frame got through for 20 s: the box refused block 1 of module 0 6 times with CRC "
         "errors"},
        {"box refused the response", refused(false, 1), Outcome::DownloadError,
         "the box refused the DownloadInfoResponse once"},
        {"box's frames damaged",
         [&] {
             auto f = refused(true, 0);
             f.lastFrame.crcErrors = 4;
             return f;
         }(),
         Outcome::DownloadError, "the box's frames arrived with CRC errors (4 times)"},
        {"no session thread",
         [&] {
             auto f = early();
             f.deliveredBytes = 0;
             f.sessionThreadError = "Resource temporarily unavailable";
             return f;
         }(),
         Outcome::DownloadError,
         "could not start: no thread for its session (Resource temporarily unavailable)"},
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
        {"wrong box: its request failed 10 times", wrong(LINK_ERR_RETRIES, noRequest),
         Outcome::WrongBox,
         "its request never arrived intact (a frame failed 10 attempts, result 513); expected "
         "hardware model 0x5601; it was not served"},
        {"wrong box: no request in time", wrong(LINK_ERR_IO, noRequest), Outcome::WrongBox,
         "its request never arrived intact (nothing arrived within the time-out, result 512)"},
        {"wrong box: no hardware descriptor", wrong(DSMCC_ERR_COMPATIBILITY, noHardware),
         Outcome::WrongBox,
         "it sent no hardware descriptor; expected hardware model 0x5601; it was not served"},
        {"wrong box: two hardware descriptors", wrong(LINK_OK, disagreeing), Outcome::WrongBox,
         "it sent two hardware descriptors that disagree: OUI 0x00A0B1 model 0x5601 version "
         "0x0203 and OUI 0x00A0B1 model 0x5602 version 0x0203; expected hardware model 0x5601"},
        {"wrong box: another model", wrong(LINK_OK, other), Outcome::WrongBox,
         "the box is hardware OUI 0x00A0B1 model 0x5602 version 0x0203, not the hardware model "
         "0x5601 expected; it was not served"},
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

} // namespace
} // namespace kestrune::station
