#include "tests/support/scripted_box.h"

#include <gtest/gtest.h>
#include <memory>

namespace kestrune::test {
namespace {

struct Negotiation {
    uint32_t bufferSize;
    uint16_t maximumBlockSize;
    uint16_t blockSize;
    uint8_t windowSize;
};

class HandshakeTable : public ::testing::TestWithParam<Negotiation> {};

TEST_P(HandshakeTable, DerivesBlockAndWindowFromTheRequestAlone) {
    const Negotiation n = GetParam();
    auto rig = std::make_unique<SessionRig>();
    rig->image({3000, 10});
    rig->box.add(infoRequest(n.bufferSize, n.maximumBlockSize));
    rig->box.writeByte(LINK_ACK_WAKEUP);

    EXPECT_EQ(receiveInfoRequest(rig->ctx), 0);
    EXPECT_EQ(sendInfoResponse(rig->ctx), LINK_OK);

    ASSERT_EQ(rig->box.frames.size(), 1u);
    const Bytes& m = rig->box.frames[0];
    EXPECT_EQ(readU16BE(&m[2]), DSMCC_DOWNLOAD_INFO_RESPONSE);
    EXPECT_EQ(readU32BE(&m[4]), 0u) << "transactionId";
    EXPECT_EQ(readU32BE(&m[12]), 1u) << "first downloadId of a run";
    EXPECT_EQ(readU16BE(&m[16]), n.blockSize);
    EXPECT_EQ(m[18], n.windowSize);
    EXPECT_EQ(m[19], n.windowSize) << "ackPeriod";
    EXPECT_EQ(readU32BE(&m[20]), 180000u);
    EXPECT_EQ(readU32BE(&m[24]), 3600000u);
    EXPECT_EQ(readU16BE(&m[28]), 0u) << "empty compatibilityDescriptor";
    EXPECT_EQ(readU16BE(&m[30]), 2u);
    EXPECT_EQ(m.size(), 12u + readU16BE(&m[10]));
}

INSTANTIATE_TEST_SUITE_P(
    Session, HandshakeTable,
    ::testing::Values(Negotiation{0, 0, 16384, 1}, Negotiation{65536, 0, 16384, 4},
                      Negotiation{10000, 0, 10000, 1}, Negotiation{65536, 1024, 1024, 64},
                      Negotiation{1000, 4096, 4096, 1},
                      // q = 256: the low 8 bits are 0, so the window falls back to 1.
                      Negotiation{262144, 1024, 1024, 1}, Negotiation{0, 40000, 40000, 1},
                      // A block message may not exceed a frame's 65535 bytes.
                      Negotiation{0, 65535, 65517, 1}, Negotiation{200000, 65518, 65517, 3},
                      Negotiation{65517, 65517, 65517, 1}));

TEST(Handshake, DownloadIdsCountUpAcrossSessionsAndNeverWrapToZero) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({100});
    for (uint32_t expected : {1u, 2u, 3u}) {
        rig->box.restart();
        rig->box.add(infoRequest(65536, 0));
        rig->box.writeByte(LINK_ACK_WAKEUP);
        receiveInfoRequest(rig->ctx);
        sendInfoResponse(rig->ctx);
        EXPECT_EQ(rig->box.responseDownloadId, expected);
    }
    rig->ctx.response.downloadId = 0xFFFFFFFFu;
    rig->box.restart();
    rig->box.add(infoRequest(65536, 0));
    rig->box.writeByte(LINK_ACK_WAKEUP);
    receiveInfoRequest(rig->ctx);
    sendInfoResponse(rig->ctx);
    EXPECT_EQ(rig->box.responseDownloadId, 1u);
}

TEST(Handshake, FailedFirstRequestStillAnswersWithDefaultsAndTakesAnId) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({100});
    // The box acknowledges the wake-up but sends no request: the receive times out.
    rig->box.writeByte(LINK_ACK_WAKEUP);
    const uint64_t before = rig->box.nowMs;
    EXPECT_EQ(receiveInfoRequest(rig->ctx), LINK_ERR_IO);
    EXPECT_EQ(rig->box.nowMs - before, LINK_HEADER_TIMEOUT_MS);
    EXPECT_EQ(sendInfoResponse(rig->ctx), LINK_OK);
    EXPECT_EQ(rig->box.responseDownloadId, 1u);
    EXPECT_EQ(rig->box.responseBlockSize, 16384);
    EXPECT_EQ(rig->box.responseWindowSize, 1);

    // The next session's good request gets id 2.
    rig->box.restart();
    rig->box.add(infoRequest(65536, 1024));
    rig->box.writeByte(LINK_ACK_WAKEUP);
    EXPECT_EQ(receiveInfoRequest(rig->ctx), 0);
    sendInfoResponse(rig->ctx);
    EXPECT_EQ(rig->box.responseDownloadId, 2u);
    EXPECT_EQ(rig->box.responseWindowSize, 64);

    // A later failed receive keeps the last parsed request: same parameters again.
    rig->box.restart();
    rig->box.writeByte(LINK_ACK_WAKEUP);
    receiveInfoRequest(rig->ctx);
    sendInfoResponse(rig->ctx);
    EXPECT_EQ(rig->box.responseDownloadId, 3u);
    EXPECT_EQ(rig->box.responseBlockSize, 1024);
    EXPECT_EQ(rig->box.responseWindowSize, 64);
}

TEST(Handshake, RequestCutShortIsAnsweredFromTheLastWholeOne) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({100});
    rig->box.add(infoRequest(65536, 1024));
    rig->box.writeByte(LINK_ACK_WAKEUP);
    ASSERT_EQ(receiveInfoRequest(rig->ctx), 0);
    sendInfoResponse(rig->ctx);

    // The next session's request lacks its descriptorCount: the bytes after it in the buffer
    // (the response just built) must not be read as its fields.
    for (const size_t length : {size_t{1}, size_t{12}, size_t{21}}) {
        SCOPED_TRACE(length);
        Bytes cut = infoRequest(4096, 512);
        cut.resize(length);
        rig->box.restart();
        rig->box.add(cut);
        rig->box.writeByte(LINK_ACK_WAKEUP);
        EXPECT_EQ(receiveInfoRequest(rig->ctx), DSMCC_ERR_PROTOCOL);
        EXPECT_EQ(sendInfoResponse(rig->ctx), LINK_OK);
        EXPECT_EQ(rig->box.responseBlockSize, 1024);
        EXPECT_EQ(rig->box.responseWindowSize, 64);
    }
}

TEST(Handshake, RequestWithoutTypeOneDescriptorIsStillUsed) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({100});
    rig->box.add(infoRequest(65536, 4096, /*typeOne=*/false));
    rig->box.writeByte(LINK_ACK_WAKEUP);
    EXPECT_EQ(receiveInfoRequest(rig->ctx), DSMCC_ERR_COMPATIBILITY);
    sendInfoResponse(rig->ctx);
    EXPECT_EQ(rig->box.responseBlockSize, 4096);
    EXPECT_EQ(rig->box.responseWindowSize, 16);
}

TEST(Handshake, CorruptedRequestIsNakedAndTakenOnTheRetry) {
    auto rig = std::make_unique<SessionRig>();
    rig->image({100});
    rig->box.add(infoRequest(8192, 2048), 0, /*corruptTimes=*/3);
    rig->box.writeByte(LINK_ACK_WAKEUP);
    EXPECT_EQ(receiveInfoRequest(rig->ctx), 0);
    EXPECT_EQ(rig->ctx.infoRequest.bufferSize, 8192u);
    EXPECT_EQ(Bytes(rig->box.serverAcks.begin() + 1, rig->box.serverAcks.end()),
              (Bytes{1, 4, 1, 4, 1, 4, 1, 3}));
}

} // namespace
} // namespace kestrune::test
