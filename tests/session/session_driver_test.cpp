#include "tests/support/scripted_box.h"

#include <gtest/gtest.h>
#include <memory>

namespace kestrune::test {
namespace {

const std::string BANNER = "Kestrune (NorDig)  V1.01  08-Dec-1998\n\nDOWNLOAD STARTED\n";

// A well-behaved box for a 2500-byte module: 1024-byte blocks, window 4.
void cleanDownload(SessionRig& rig, uint8_t wakeupByte = 0x55) {
    rig.box.restart();
    if (wakeupByte != 0) {
        rig.box.wakeup(wakeupByte);
    }
    rig.box.add(infoRequest(4096, 1024));
    rig.box.request(0, 0, 1, 1);
    rig.box.request(0, 3, 5, 3);
}

TEST(SessionDriver, FirstAndSecondRoundLogAndJudge) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({2500});
    ImmediateStart start;

    cleanDownload(*rig);
    rig->box.naks[2] = 2; // block 1 is refused twice, then taken
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_EQ(start.waits, 1);
    EXPECT_EQ(rig->ctx.link.framesResent, 2u);
    EXPECT_EQ(rig->reporter.log, BANNER + "Byte 85 received\n0 0 0\n1 0 0\n2 0 0\n"
                                          "Round 1; All modules sent; ret = 0\n");
    EXPECT_EQ(rig->reporter.calls,
              (std::vector<std::string>{"showTestLog", "showProgress", "disarm", "showResult",
                                        "endSession"}));
    EXPECT_EQ(rig->reporter.resultText,
              "Download was successful.\nEnjoy your upgraded set top box.");
    EXPECT_EQ(rig->reporter.resultCaption, "Download complete");
    EXPECT_FALSE(rig->reporter.resultError);
    EXPECT_TRUE(rig->ctx.lastSucceeded);
    EXPECT_EQ(rig->ctx.lastDeliveredBytes, 2500u);
    EXPECT_EQ(rig->ctx.lastModuleBytes, 2500u);
    EXPECT_TRUE(rig->ctx.lastResponseAccepted);
    EXPECT_EQ(rig->ctx.lastWakeupByte, 0x55);
    // The wake-up is answered with 2 after a purge.
    EXPECT_EQ(rig->box.purges, 1);
    EXPECT_EQ(rig->box.serverAcks.front(), LINK_ACK_WAKEUP);
    // Response (34 + 10 bytes) and three blocks, each counted once.
    EXPECT_EQ(rig->ctx.link.bytesSent, 44u + 1042u + 1042u + 470u);

    // Second round of the same run: round 2, downloadId 2, bytes counted afresh.
    rig->reporter.log.clear();
    cleanDownload(*rig, 0xF3);
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_EQ(rig->box.responseDownloadId, 2u);
    EXPECT_EQ(rig->ctx.link.framesResent, 0u); // counted afresh, like bytesSent
    EXPECT_EQ(rig->reporter.log, BANNER + "Byte 243 received\n0 0 0\n1 0 0\n2 0 0\n"
                                          "Round 2; All modules sent; ret = 0\n");
    EXPECT_EQ(rig->ctx.link.bytesSent, 44u + 1042u + 1042u + 470u);
}

TEST(SessionDriver, LeftoversAfterThePurgeAreSkippedAndNoted) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({2500});
    ImmediateStart start;
    cleanDownload(*rig);
    rig->box.afterPurge = {0x55, 0x55};
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_TRUE(rig->ctx.lastSucceeded);
    // The window's Test Log is as ever; the note is for the command line's log file.
    EXPECT_EQ(rig->reporter.log, BANNER + "Byte 85 received\n0 0 0\n1 0 0\n2 0 0\n"
                                          "Round 1; All modules sent; ret = 0\n");
    EXPECT_EQ(rig->reporter.notes, "Bytes skipped before the first frame header: 2\n");

    // The next round counts afresh and notes nothing when nothing was left over.
    rig->reporter.notes.clear();
    cleanDownload(*rig);
    rig->box.afterPurge.clear();
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_EQ(rig->ctx.link.leftoversSkipped, 0u);
    EXPECT_EQ(rig->reporter.notes, "");
}

TEST(SessionDriver, UnacknowledgedLastBlockIsAFailureEvenWithAllBytesCounted) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({2500}, /*fileSize=*/100);
    rig->box.restart();
    rig->box.wakeup(1);
    rig->box.add(infoRequest(4096, 1024));
    rig->box.request(0, 0, 1, 1);
    rig->box.naks[3] = 10; // the response is frame 0, the last block frame 3
    ImmediateStart start;
    EXPECT_EQ(runSession(rig->ctx, start), LINK_ERR_RETRIES);
    EXPECT_GE(rig->ctx.link.bytesSent, rig->ctx.link.imageSize);
    EXPECT_FALSE(rig->ctx.lastSucceeded);
    EXPECT_EQ(rig->reporter.resultCaption, "Download error");
    EXPECT_EQ(rig->reporter.resultText, "Download was not successful.\nYou can press \"Start "
                                        "download\",\nto try downloading again.");
    EXPECT_TRUE(rig->reporter.resultError);
    EXPECT_NE(rig->reporter.log.find("2 0 513\nRound 1; All modules sent; ret = 513\n"),
              std::string::npos);
}

TEST(SessionDriver, BoxEndingEarlyIsAFailureThoughTheDataPhaseReturnsZero) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({100000});
    rig->box.restart();
    rig->box.wakeup(1);
    rig->box.add(infoRequest(4096, 1024));
    rig->box.request(0, 0, 1, 1);
    rig->box.request(0, 4, 5, 4);
    ImmediateStart start;
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_FALSE(rig->ctx.lastSucceeded);
    EXPECT_EQ(rig->ctx.lastResult, 0);
    EXPECT_EQ(rig->ctx.lastDeliveredBytes, 4096u);
    EXPECT_EQ(rig->ctx.lastModuleBytes, 100000u);
    EXPECT_EQ(rig->reporter.resultCaption, "Download error");
    EXPECT_TRUE(rig->reporter.resultError);
    // The closing line keeps the data phase's code.
    EXPECT_NE(rig->reporter.log.find("3 0 0\nRound 1; All modules sent; ret = 0\n"),
              std::string::npos);
}

TEST(SessionDriver, WakeupTimeoutStillRunsTheRound) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({2500});
    cleanDownload(*rig, /*wakeupByte=*/0);
    ImmediateStart start;
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_GE(rig->box.nowMs, SESSION_WAKEUP_TIMEOUT_MS);
    EXPECT_NE(rig->reporter.log.find("Byte 0 received\n"), std::string::npos);
    EXPECT_EQ(rig->ctx.lastWakeupByte, 0);
    EXPECT_EQ(rig->reporter.resultCaption, "Download complete");
}

TEST(SessionDriver, SilentBoxFailsWithoutBlocksAndStillEnds) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({2500});
    rig->box.restart();
    rig->box.wakeup(9);
    rig->box.silent = true;
    ImmediateStart start;
    EXPECT_EQ(runSession(rig->ctx, start), LINK_ERR_IO);
    EXPECT_EQ(rig->reporter.calls.back(), "endSession");
    EXPECT_FALSE(rig->ctx.lastResponseAccepted);
    EXPECT_EQ(rig->ctx.lastWakeupByte, 9);
    EXPECT_EQ(rig->reporter.resultCaption, "Download error");
    // Only the response was attempted (ten times): its length counted once.
    EXPECT_EQ(rig->ctx.link.bytesSent, 44u);
    EXPECT_EQ(rig->reporter.frameReports, 1);
    EXPECT_EQ(rig->reporter.log,
              BANNER + "Byte 9 received\nRound 1; All modules sent; ret = 512\n");
}

// A front end's gate: what it was shown, and its answer.
class RecordingGate final : public RequestGate {
public:
    explicit RecordingGate(bool admits) : admits_(admits) {}
    bool admit(int result, const uint8_t* request, uint32_t length) override {
        ++calls;
        received = result;
        this->length = length;
        messageId = length >= 4 ? readU16BE(request + 2) : 0;
        return admits_;
    }
    int calls = 0;
    int received = -1;
    uint32_t length = 0;
    uint16_t messageId = 0;

private:
    bool admits_;
};

TEST(SessionDriver, AGateDecidesBeforeTheResponse) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({2500});
    ImmediateStart start;

    // Refused after a request that failed its check 10 times: nothing of the image goes out.
    RecordingGate refuse(false);
    rig->ctx.gate = &refuse;
    rig->box.restart();
    rig->box.wakeup(0x55);
    rig->box.add(infoRequest(4096, 1024), 0, 10);
    EXPECT_EQ(runSession(rig->ctx, start), LINK_ERR_RETRIES);
    EXPECT_EQ(refuse.calls, 1);
    EXPECT_EQ(refuse.received, LINK_ERR_RETRIES);
    EXPECT_EQ(refuse.length, 0u);
    EXPECT_TRUE(rig->box.frames.empty()) << "a DownloadInfoResponse went out";
    EXPECT_EQ(rig->ctx.link.bytesSent, 0u);
    EXPECT_FALSE(rig->ctx.lastSucceeded);
    EXPECT_FALSE(rig->ctx.lastResponseAccepted);
    EXPECT_EQ(rig->reporter.resultCaption, "Download error");
    EXPECT_EQ(rig->reporter.calls.back(), "endSession");
    EXPECT_EQ(rig->reporter.log, BANNER + "Byte 85 received\nRound 1; Not served; ret = 513\n");

    // Admitted: the course of a session without a gate, the request shown as it arrived.
    RecordingGate admit(true);
    rig->ctx.gate = &admit;
    rig->reporter.log.clear();
    cleanDownload(*rig);
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_EQ(admit.received, 0);
    EXPECT_EQ(admit.messageId, DSMCC_DOWNLOAD_INFO_REQUEST);
    EXPECT_EQ(admit.length, infoRequest(4096, 1024).size());
    EXPECT_TRUE(rig->ctx.lastSucceeded);
    EXPECT_EQ(rig->reporter.log, BANNER + "Byte 85 received\n0 0 0\n1 0 0\n2 0 0\n"
                                          "Round 2; All modules sent; ret = 0\n");
}

TEST(SessionDriver, EmptyImageShowsNoProgress) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({});
    rig->ctx.link.imageSize = 0;
    rig->box.restart();
    rig->box.silent = true;
    ImmediateStart start;
    runSession(rig->ctx, start);
    EXPECT_EQ(rig->reporter.calls.front(), "showTestLog");
    EXPECT_EQ(rig->reporter.calls[1], "disarm");
}

} // namespace
} // namespace kestrune::test
