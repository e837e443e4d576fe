#include "tests/support/scripted_box.h"

#include <gtest/gtest.h>
#include <memory>

namespace kestrune::test {
namespace {

constexpr uint32_t ID = 7;

// A rig past its handshake: downloadId 7, the given block and window size.
std::unique_ptr<SessionRig> servingRig(const std::vector<uint32_t>& sizes, uint16_t blockSize,
                                       uint8_t windowSize) {
    auto rig = std::make_unique<SessionRig>();
    rig->image(sizes);
    rig->ctx.response.downloadId = ID;
    rig->ctx.response.blockSize = blockSize;
    rig->ctx.response.windowSize = windowSize;
    rig->ctx.response.ackPeriod = windowSize;
    rig->box.responseDownloadId = ID;
    return rig;
}

void start(SessionRig& rig) {
    rig.box.writeByte(LINK_ACK_WAKEUP);
}

// Every block's header and data agree with the module and block it names.
void expectBlocksMatchImage(const SessionRig& rig, uint16_t blockSize) {
    for (const SeenBlock& b : rig.box.blocks) {
        ASSERT_LT(b.moduleId, rig.moduleData.size());
        const uint32_t size = static_cast<uint32_t>(rig.moduleData[b.moduleId].size());
        const uint32_t offset = b.blockNumber * blockSize;
        ASSERT_LE(offset + b.data.size(), size);
        EXPECT_EQ(b.data, rig.expected(b.moduleId, offset, static_cast<uint32_t>(b.data.size())))
            << "module " << b.moduleId << " block " << b.blockNumber;
        EXPECT_EQ(b.downloadId, ID);
        EXPECT_EQ(b.moduleVersion, b.moduleId + 1);
        EXPECT_EQ(b.messageLength, b.data.size() + 10);
    }
}

TEST(DataServing, ModuleOf2500BytesInWindowsOfOneBlock) {
    auto rig = servingRig({2500}, 1024, 1);
    rig->box.request(0, 0, 1);
    rig->box.request(0, 1, 2, 1);
    rig->box.request(0, 2, 2, 1);
    rig->box.request(0, 3, 2, 1); // past the end: nothing left, the server waits
    rig->box.request(0, 3, 5, 0);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);

    EXPECT_EQ(blockIds(*rig), (Ids{{0, 0}, {0, 1}, {0, 2}}));
    ASSERT_EQ(rig->box.frames.size(), 3u);
    EXPECT_EQ(rig->box.frames[0].size(), 1042u);
    EXPECT_EQ(rig->box.frames[1].size(), 1042u);
    EXPECT_EQ(rig->box.frames[2].size(), 470u);
    EXPECT_EQ(rig->box.blocks[2].messageLength, 462);
    expectBlocksMatchImage(*rig, 1024);
    EXPECT_EQ(rig->reporter.log, "0 0 0\n1 0 0\n2 0 0\n");
    // Each block waits 100 ms before its frame, whose own pause adds another 100 ms.
    EXPECT_EQ(rig->box.nowMs, 3u * 200u);
}

TEST(DataServing, WindowOfFourWaitsAfterAModuleEndsAndRenumbersTheNext) {
    auto rig = servingRig({4096, 1500}, 1024, 4);
    rig->box.request(0, 0, 1);
    rig->box.request(1, 0, 2, 4);
    rig->box.request(1, 2, 5, 2);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    EXPECT_EQ(blockIds(*rig), (Ids{{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 0}, {1, 1}}));
    expectBlocksMatchImage(*rig, 1024);
    EXPECT_EQ(rig->box.blocks[5].data.size(), 476u);
}

TEST(DataServing, AcknowledgementNamingTheBlockPastTheEndMovesOn) {
    auto rig = servingRig({4096, 1500}, 1024, 4);
    rig->box.request(0, 0, 1);
    rig->box.request(0, 4, 2, 4);
    rig->box.request(1, 2, 5, 2);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    EXPECT_EQ(blockIds(*rig), (Ids{{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 0}, {1, 1}}));
    expectBlocksMatchImage(*rig, 1024);
}

TEST(DataServing, EmptyModuleReachedByMovingOnIsOneEmptyBlock) {
    auto rig = servingRig({1024, 0, 100}, 1024, 4);
    rig->box.request(0, 0, 1);
    rig->box.request(0, 0, 5, 3);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    EXPECT_EQ(blockIds(*rig), (Ids{{0, 0}, {1, 0}, {2, 0}}));
    EXPECT_EQ(rig->box.frames[1].size(), 18u);
    EXPECT_EQ(rig->box.blocks[1].messageLength, 10);
    expectBlocksMatchImage(*rig, 1024);
}

TEST(DataServing, EmptyModuleNamedByARequestIsSkipped) {
    auto rig = servingRig({0, 100}, 1024, 4);
    rig->box.request(0, 0, 1);
    rig->box.request(0, 0, 5, 1);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    EXPECT_EQ(blockIds(*rig), (Ids{{1, 0}}));
}

TEST(DataServing, RequestBeyondTheModulesYieldsNoBlockAndTheServerWaits) {
    auto rig = servingRig({100}, 1024, 1);
    rig->box.request(5, 0, 1);
    rig->box.request(0, 0, 2, 0);
    rig->box.request(0, 1, 5, 1);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    EXPECT_EQ(blockIds(*rig), (Ids{{0, 0}}));
}

TEST(DataServing, EarlyEndWithReasonFiveEndsThePhaseWithZeroButDeliversOnlyWhatWasSent) {
    auto rig = servingRig({10000}, 1024, 2);
    rig->box.request(0, 0, 1);
    rig->box.request(0, 2, 5, 2);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    EXPECT_EQ(rig->box.blocks.size(), 2u);
    // The phase's code is the box's word; what was delivered is the server's own count.
    EXPECT_EQ(deliveredModuleBytes(rig->ctx), 2048u);
    EXPECT_EQ(servedModuleBytes(rig->ctx.response), 10000u);
}

TEST(DataServing, RefusedRequestsEndThePhaseWith1315) {
    {
        SCOPED_TRACE("first request of an earlier handshake");
        auto rig = servingRig({100}, 1024, 1);
        rig->box.add(dataRequest(ID - 1, 0, 0, 1));
        start(*rig);
        EXPECT_EQ(serveDataBlocks(rig->ctx), DSMCC_ERR_PROTOCOL);
        EXPECT_TRUE(rig->box.blocks.empty());
    }
    {
        SCOPED_TRACE("first request with reason 2");
        auto rig = servingRig({100}, 1024, 1);
        rig->box.request(0, 0, 2);
        start(*rig);
        EXPECT_EQ(serveDataBlocks(rig->ctx), DSMCC_ERR_PROTOCOL);
        EXPECT_TRUE(rig->box.blocks.empty());
    }
    {
        SCOPED_TRACE("later request with a wrong id");
        auto rig = servingRig({3000}, 1024, 1);
        rig->box.request(0, 0, 1);
        rig->box.add(dataRequest(ID + 1, 0, 1, 2), 1);
        start(*rig);
        EXPECT_EQ(serveDataBlocks(rig->ctx), DSMCC_ERR_PROTOCOL);
        EXPECT_EQ(rig->box.blocks.size(), 1u);
    }
    {
        SCOPED_TRACE("later request with reason 3");
        auto rig = servingRig({3000}, 1024, 1);
        rig->box.request(0, 0, 1);
        rig->box.request(0, 1, 3, 1);
        start(*rig);
        EXPECT_EQ(serveDataBlocks(rig->ctx), DSMCC_ERR_PROTOCOL);
    }
    {
        SCOPED_TRACE("downloadId 0 is never served");
        auto rig = servingRig({100}, 1024, 1);
        rig->ctx.response.downloadId = 0;
        rig->box.responseDownloadId = 0;
        rig->box.request(0, 0, 1);
        start(*rig);
        EXPECT_EQ(serveDataBlocks(rig->ctx), DSMCC_ERR_PROTOCOL);
    }
}

TEST(DataServing, SilentBoxEndsTheFirstWaitAndALaterOneWith512) {
    // The first wait too ends with the receive's own code, not with a look at an old request.
    auto first = servingRig({100}, 1024, 1);
    start(*first);
    EXPECT_EQ(serveDataBlocks(first->ctx), LINK_ERR_IO);

    auto later = servingRig({3000}, 1024, 1);
    later->box.request(0, 0, 1);
    start(*later);
    EXPECT_EQ(serveDataBlocks(later->ctx), LINK_ERR_IO);
    EXPECT_EQ(later->box.blocks.size(), 1u);
}

TEST(DataServing, LogLineOfBlockThreeOfModuleOne) {
    auto rig = servingRig({1024, 4096}, 1024, 8);
    rig->box.request(0, 0, 1);
    rig->box.request(0, 0, 5, 5);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    EXPECT_EQ(rig->reporter.log, "0 0 0\n0 1 0\n1 1 0\n2 1 0\n3 1 0\n");
}

TEST(DataServing, UnacknowledgedBlockIsLoggedWith513AndEndsThePhase) {
    auto rig = servingRig({3000}, 1024, 2);
    rig->box.naks[1] = 10;
    rig->box.request(0, 0, 1);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), LINK_ERR_RETRIES);
    EXPECT_EQ(rig->reporter.log, "0 0 0\n1 0 513\n");
}

TEST(DataServing, NewSessionAfterAMidModuleFailureStartsAtTheFirstByte) {
    auto rig = servingRig({4096}, 1024, 1);
    rig->box.naks[1] = 10;
    rig->box.request(0, 0, 1);
    rig->box.request(0, 1, 2, 1);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), LINK_ERR_RETRIES);
    EXPECT_EQ(rig->ctx.position.moduleOffset, 2048u);

    rig->box.restart();
    rig->box.blocks.clear();
    rig->box.request(0, 0, 1);
    rig->box.request(0, 1, 5, 1);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    ASSERT_EQ(blockIds(*rig), (Ids{{0, 0}}));
    expectBlocksMatchImage(*rig, 1024);
}

TEST(DataServing, RepeatedRequestGetsTheSameBytesAgain) {
    auto rig = servingRig({4096, 700}, 1024, 2);
    rig->box.request(0, 0, 1);
    rig->box.request(0, 1, 2, 2); // block 1 once more instead of block 2
    rig->box.request(0, 3, 2, 2);
    // Block 3 ended module 0 and the window went on into module 1; asking for a block past
    // module 0's end serves module 1 from its start again.
    rig->box.request(0, 9, 2, 2);
    rig->box.request(1, 1, 5, 1);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    EXPECT_EQ(blockIds(*rig), (Ids{{0, 0}, {0, 1}, {0, 1}, {0, 2}, {0, 3}, {1, 0}, {1, 0}}));
    EXPECT_EQ(rig->box.blocks[1].data, rig->box.blocks[2].data);
    expectBlocksMatchImage(*rig, 1024);
}

TEST(DataServing, BlockCappedAt65517FitsOneFrame) {
    auto rig = servingRig({70000}, 65517, 1);
    rig->box.request(0, 0, 1);
    rig->box.request(0, 1, 2, 1);
    rig->box.request(0, 2, 5, 1);
    start(*rig);
    EXPECT_EQ(serveDataBlocks(rig->ctx), 0);
    ASSERT_EQ(rig->box.frames.size(), 2u);
    EXPECT_EQ(rig->box.frames[0].size(), 65535u);
    EXPECT_EQ(rig->box.blocks[1].data.size(), 70000u - 65517u);
    expectBlocksMatchImage(*rig, 65517);
}

TEST(DataServing, BlockNumberNamesTheCongruentBlockNearestWhereTheModuleStands) {
    // One-byte blocks, so a block's number past the wrap is its offset.
    struct Case {
        const char* name;
        uint32_t blocks;   // of module 0
        uint32_t standing; // module 0's serving position, in blocks
        uint16_t named;
        uint32_t served; // the block served next; == blocks: the module is finished
    };
    const Case cases[] = {
        {"a small module: the block named", 100, 40, 7, 7},
        {"a small module: the block after the last", 100, 100, 100, 100},
        {"a small module: a block it does not have", 100, 40, 5000, 100},
        {"past the wrap: the next block", 70000, 65538, 2, 65538},
        {"past the wrap: a repeat", 70000, 65538, 1, 65537},
        {"past the wrap: back before it", 70000, 65538, 65535, 65535},
        {"before the wrap: a block past it", 70000, 65530, 3, 65539},
        {"at the start: a number that exists twice", 70000, 0, 4464, 4464},
        {"at the end: the number after the last", 70000, 70000, 4464, 70000},
        {"exactly 65536 blocks: block 0 at the start", 65536, 3, 0, 0},
        {"exactly 65536 blocks: 0 after the last block", 65536, 65536, 0, 65536},
        {"half the numbers away either way: the earlier", 140000, 100000, 1696, 67232},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto rig = servingRig({c.blocks}, 1, 4);
        rig->ctx.position.moduleOffset = c.standing;
        rig->ctx.position.windowCount = 3;
        rig->ctx.dataRequest.moduleId = 0;
        rig->ctx.dataRequest.blockNumber = c.named;
        EXPECT_EQ(applyDataRequest(rig->ctx), 0);
        EXPECT_EQ(rig->ctx.position.moduleOffset, c.served);
        EXPECT_EQ(rig->ctx.position.nextBlockNumber, c.named);
        EXPECT_EQ(rig->ctx.position.windowCount, 0) << "a request starts a new window";
    }
}

TEST(DataServing, AnotherModuleStandsWhereTheBoxAcknowledgedIt) {
    // Module 0 of 70000 one-byte blocks was delivered whole; the server has moved on to
    // module 1. The box names the number after module 0's last block: that module is done.
    auto rig = servingRig({70000, 10}, 1, 4);
    rig->ctx.delivery.acknowledged[0] = 70000;
    rig->ctx.position.currentModule = 1;
    rig->ctx.dataRequest.moduleId = 0;
    rig->ctx.dataRequest.blockNumber = static_cast<uint16_t>(70000);
    applyDataRequest(rig->ctx);
    EXPECT_EQ(rig->ctx.position.currentModule, 0);
    EXPECT_EQ(rig->ctx.position.moduleOffset, 70000u);
    // Nothing acknowledged yet: the same number is the early block.
    rig->ctx.delivery.acknowledged[0] = 0;
    rig->ctx.position.currentModule = 1;
    applyDataRequest(rig->ctx);
    EXPECT_EQ(rig->ctx.position.moduleOffset, 70000u - 65536u);
}

} // namespace
} // namespace kestrune::test
