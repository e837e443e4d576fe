// Whole sessions against the faults that once let a box be called upgraded without its image,
// or made the server read a request from bytes the box never sent. Every rig is built in
// memory filled with 0xAB, as a context placed in reused memory would be.

#include "tests/support/scripted_box.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <memory>
#include <new>

namespace kestrune::test {
namespace {

// A SessionRig constructed over memory that held something else.
struct DirtyRig {
    void* storage;
    SessionRig* rig;
    DirtyRig() : storage(::operator new(sizeof(SessionRig))) {
        std::memset(storage, 0xAB, sizeof(SessionRig));
        rig = new (storage) SessionRig;
    }
    ~DirtyRig() {
        rig->~SessionRig();
        ::operator delete(storage);
    }
    DirtyRig(const DirtyRig&) = delete;
    DirtyRig& operator=(const DirtyRig&) = delete;
};

// A data request that carries the downloadId the box was given, cut to `length` bytes.
ScriptedBox::Step cutRequest(uint16_t blockNumber, uint8_t reason, size_t length, int after) {
    return {[=](const ScriptedBox& box) {
                Bytes m = dataRequest(box.responseDownloadId, 0, blockNumber, reason);
                m.resize(length);
                return m;
            },
            after, 0};
}

// The same whole, with protocolDiscriminator 0x12.
ScriptedBox::Step badDiscriminator(uint8_t reason, int after) {
    return {[=](const ScriptedBox& box) {
                Bytes m = dataRequest(box.responseDownloadId, 0, 0, reason);
                m[0] = 0x12;
                return m;
            },
            after, 0};
}

// Module 0 of `blocks` one-byte blocks: 0x11 in the first 65536, 0xEE after them, so a block
// served from the wrong side of the 16-bit wrap shows.
void wrapImage(SessionRig& rig, uint32_t blocks) {
    rig.image({blocks});
    for (uint32_t j = 0; j < blocks; ++j) {
        rig.moduleData[0][j] = j < 65536 ? 0x11 : 0xEE;
    }
}

struct FaultCase {
    const char* name;
    std::function<void(SessionRig&)> image;
    uint32_t bufferSize;
    uint16_t maximumBlockSize;
    std::function<void(SessionRig&)> script; // the box's messages after its info request
    int result;
    bool succeeded;
    Ids blocks;
    std::function<void(const SessionRig&)> check;
};

TEST(Outcome, FaultsOnceSeenEndAsTheyShould) {
    const auto fourThousandBlocks = [](SessionRig& rig) { rig.image({4000 * 16}); };
    const FaultCase cases[] = {
        {"a 16-byte DownloadDataRequest (downloadReason missing) after block 0x0500",
         fourThousandBlocks, 16, 16,
         [](SessionRig& rig) {
             rig.box.request(0, 0x0500, 1, 1);
             // Byte 16 of the buffer still holds the block number's high byte, 0x05.
             rig.box.add(cutRequest(0x0501, 5, 16, 1));
         },
         DSMCC_ERR_PROTOCOL, false, Ids{{0, 0x0500}}, nullptr},
        {"a 1-byte frame 11 after block 0x0500", fourThousandBlocks, 16, 16,
         [](SessionRig& rig) {
             rig.box.request(0, 0x0500, 1, 1);
             rig.box.add(Bytes{0x11}, 1);
         },
         DSMCC_ERR_PROTOCOL, false, Ids{{0, 0x0500}}, nullptr},
        {"a first request with a bad protocolDiscriminator and the right downloadId",
         [](SessionRig& rig) {
             rig.image({2500});
             // As an earlier session's first request left the record.
             rig.ctx.dataRequest.downloadReason = DOWNLOAD_REASON_START;
         },
         4096, 1024, [](SessionRig& rig) { rig.box.add(badDiscriminator(1, 1)); },
         DSMCC_ERR_DISCRIMINATOR, false, Ids{}, nullptr},
        {"a later request with a bad protocolDiscriminator and the right downloadId",
         [](SessionRig& rig) { rig.image({2500}); }, 4096, 1024,
         [](SessionRig& rig) {
             rig.box.request(0, 0, 1, 1);
             rig.box.add(badDiscriminator(5, 3));
         },
         DSMCC_ERR_DISCRIMINATOR, false, Ids{{0, 0}, {0, 1}, {0, 2}}, nullptr},
        {"an info request of its header alone, in a context over 0xAB bytes",
         [](SessionRig& rig) { rig.image({2500}); }, 0, 0,
         [](SessionRig& rig) {
             rig.box.restart();
             rig.box.wakeup(0x55);
             Bytes header = infoRequest(0, 0);
             header.resize(12);
             rig.box.add(header);
             rig.box.request(0, 0, 1, 1);
             rig.box.request(0, 1, 5, 1);
         },
         0, true, Ids{{0, 0}},
         [](const SessionRig& rig) {
             // Nothing of the short request was used: the first run's defaults.
             EXPECT_EQ(rig.box.responseBlockSize, 16384);
             EXPECT_EQ(rig.box.responseWindowSize, 1);
             EXPECT_EQ(rig.ctx.infoRequest.bufferSize, 0u);
         }},
        {"a box ending early with reason 5", [](SessionRig& rig) { rig.image({10000}); }, 2048,
         1024,
         [](SessionRig& rig) {
             rig.box.request(0, 0, 1, 1);
             rig.box.request(0, 2, 5, 2);
         },
         0, false, Ids{{0, 0}, {0, 1}},
         [](const SessionRig& rig) {
             EXPECT_EQ(rig.ctx.lastDeliveredBytes, 2048u);
             EXPECT_EQ(rig.ctx.lastModuleBytes, 10000u);
             EXPECT_NE(rig.reporter.log.find("Round 1; All modules sent; ret = 0\n"),
                       std::string::npos);
         }},
        {"block 2 after the 65536 wrap", [](SessionRig& rig) { wrapImage(rig, 65540); }, 4, 1,
         [](SessionRig& rig) {
             rig.box.request(0, 0xFFFE, 1, 1);
             rig.box.request(0, 2, 2, 4);
             rig.box.request(0, 4, 5, 2);
         },
         0, false, Ids{{0, 0xFFFE}, {0, 0xFFFF}, {0, 0}, {0, 1}, {0, 2}, {0, 3}},
         [](const SessionRig& rig) {
             for (size_t i = 0; i < rig.box.blocks.size(); ++i) {
                 EXPECT_EQ(rig.box.blocks[i].data, Bytes{static_cast<uint8_t>(i < 2 ? 0x11 : 0xEE)})
                     << "block " << i;
             }
         }},
        {"a repeat of block 1 after the 65536 wrap, then block 65535 again",
         [](SessionRig& rig) { wrapImage(rig, 65540); }, 2, 1,
         [](SessionRig& rig) {
             rig.box.request(0, 0xFFFF, 1, 1); // blocks 65535 and 65536 come
             rig.box.request(0, 1, 2, 2);      // 65537 and 65538
             rig.box.request(0, 1, 2, 2);      // 65537 once more, and 65538
             rig.box.request(0, 0xFFFF, 2, 2); // back to 65535, not on to 131071
             rig.box.request(0, 0, 5, 2);
         },
         0, false, Ids{{0, 0xFFFF}, {0, 0}, {0, 1}, {0, 2}, {0, 1}, {0, 2}, {0, 0xFFFF}, {0, 0}},
         [](const SessionRig& rig) {
             const Bytes expected[] = {{0x11}, {0xEE}, {0xEE}, {0xEE},
                                       {0xEE}, {0xEE}, {0x11}, {0xEE}};
             ASSERT_EQ(rig.box.blocks.size(), std::size(expected));
             for (size_t i = 0; i < std::size(expected); ++i) {
                 EXPECT_EQ(rig.box.blocks[i].data, expected[i]) << "block " << i;
             }
         }},
        {"a partial window at the image's end, then a window asked for again",
         [](SessionRig& rig) { rig.image({6 * 1024}); }, 4096, 1024,
         [](SessionRig& rig) {
             rig.box.request(0, 0, 1, 1);
             rig.box.request(0, 4, 2, 4);
             // Only two blocks were left; the box asks again from block 2 and waits for four.
             rig.box.request(0, 2, 2, 2);
             rig.box.request(0, 6, 5, 4);
         },
         0, true,
         Ids{{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 2}, {0, 3}, {0, 4}, {0, 5}},
         nullptr},
    };

    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        DirtyRig dirty;
        SessionRig& rig = *dirty.rig;
        c.image(rig);
        rig.box.restart();
        rig.box.wakeup(0x55);
        rig.box.add(infoRequest(c.bufferSize, c.maximumBlockSize));
        c.script(rig);
        ImmediateStart start;
        EXPECT_EQ(runSession(rig.ctx, start), c.result);
        EXPECT_EQ(rig.ctx.lastResult, c.result);
        EXPECT_EQ(rig.ctx.lastSucceeded, c.succeeded);
        EXPECT_EQ(rig.reporter.resultCaption,
                  c.succeeded ? SESSION_SUCCESS_CAPTION : SESSION_FAILURE_CAPTION);
        if (c.succeeded) {
            EXPECT_EQ(rig.ctx.lastDeliveredBytes, rig.ctx.lastModuleBytes);
        }
        EXPECT_EQ(blockIds(rig), c.blocks);
        EXPECT_EQ(rig.box.stepsLeft(), 0u) << "the box was left waiting";
        if (c.check) {
            c.check(rig);
        }
    }
}

TEST(Outcome, EverythingTheBoxAcknowledgedCountsOnceAndNothingElse) {
    // Module sizes 3000, 0 and 700 in blocks of 1024, windows of 4: the first window is blocks
    // 0-2 of module 0 and the empty block of module 1. How far the box got in each case.
    struct Request {
        uint16_t moduleId, blockNumber;
        uint8_t reason;
        int afterFrames;
    };
    struct Case {
        const char* name;
        std::vector<Request> requests; // after the info request
        std::map<int, int> naks;       // server frame index (0 = the response) -> NAKs
        uint64_t delivered;
        bool succeeded;
    };
    const Case cases[] = {
        {"every block once", {{0, 0, 1, 1}, {2, 0, 2, 4}, {2, 1, 5, 1}}, {}, 3700, true},
        // The second request names blocks 1 and 2, the empty block and module 2.
        {"every block, two of them asked for twice",
         {{0, 0, 1, 1}, {0, 1, 2, 4}, {2, 1, 5, 4}},
         {},
         3700,
         true},
        {"the third block refused ten times", {{0, 0, 1, 1}}, {{3, 10}}, 2048, false},
        {"a block NAKed and sent again",
         {{0, 0, 1, 1}, {2, 0, 2, 4}, {2, 1, 5, 1}},
         {{2, 3}},
         3700,
         true},
        // From block 1: module 0's extent stays 0.
        {"blocks past a gap do not count until the gap is filled",
         {{0, 1, 1, 1}, {0, 0, 5, 4}},
         {},
         700,
         false},
        {"the response refused: nothing more comes", {}, {{0, 10}}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DirtyRig dirty;
        SessionRig& rig = *dirty.rig;
        rig.image({3000, 0, 700});
        rig.box.restart();
        rig.box.wakeup(7);
        rig.box.naks = c.naks;
        rig.box.add(infoRequest(4096, 1024));
        for (const Request& r : c.requests) {
            rig.box.request(r.moduleId, r.blockNumber, r.reason, r.afterFrames);
        }
        ImmediateStart start;
        runSession(rig.ctx, start);
        EXPECT_EQ(rig.ctx.lastDeliveredBytes, c.delivered);
        EXPECT_EQ(rig.ctx.lastModuleBytes, 3700u);
        EXPECT_EQ(rig.ctx.lastSucceeded, c.succeeded);
        EXPECT_EQ(rig.ctx.lastResponseAccepted, c.naks.count(0) == 0);
        EXPECT_EQ(rig.ctx.lastWakeupByte, 7);
        uint32_t naks = 0;
        for (const auto& [frame, count] : c.naks) {
            naks += static_cast<uint32_t>(count < 10 ? count : 9);
        }
        EXPECT_EQ(rig.ctx.link.framesResent, naks);
    }
}

TEST(Outcome, ContextOverReusedMemoryStartsZeroed) {
    DirtyRig dirty;
    const SessionContext& ctx = dirty.rig->ctx;
    for (uint32_t i = 0; i < FRAME_BUFFER_SIZE; ++i) {
        ASSERT_EQ(ctx.frameBuffer[i], 0) << "frameBuffer byte " << i;
    }
    // Compare records field by field with freshly zeroed ones (padding aside).
    const DownloadInfoRequestRecord info{};
    EXPECT_EQ(ctx.infoRequest.bufferSize, info.bufferSize);
    EXPECT_EQ(ctx.infoRequest.maximumBlockSize, info.maximumBlockSize);
    EXPECT_EQ(ctx.infoRequest.header.transactionId, 0u);
    EXPECT_EQ(ctx.infoRequest.header.adaptationData, nullptr);
    EXPECT_EQ(ctx.dataRequest.header.transactionId, 0u);
    EXPECT_EQ(ctx.dataRequest.downloadReason, 0);
    EXPECT_EQ(ctx.response.downloadId, 0u);
    EXPECT_EQ(ctx.response.numberOfModules, 0);
    EXPECT_EQ(ctx.response.modules[MAX_MODULES - 1].moduleData, nullptr);
    EXPECT_EQ(ctx.response.privateData[MAX_PRIVATE_DATA - 1], 0);
    for (uint32_t extent : ctx.delivery.acknowledged) {
        EXPECT_EQ(extent, 0u);
    }
    EXPECT_EQ(ctx.position.moduleOffset, 0u);
    EXPECT_EQ(ctx.position.windowCount, 0);
    EXPECT_EQ(ctx.roundNumber, 0);
    EXPECT_EQ(ctx.link.bytesSent, 0u);
    EXPECT_EQ(ctx.link.framesResent, 0u);
    EXPECT_EQ(ctx.link.tap, nullptr);
    EXPECT_EQ(ctx.link.headerBuffer[LINK_HEADER_SIZE - 1], 0);
    EXPECT_EQ(ctx.lastDeliveredBytes, 0u);
    EXPECT_EQ(ctx.lastModuleBytes, 0u);
    EXPECT_FALSE(ctx.lastResponseAccepted);
    EXPECT_EQ(ctx.lastWakeupByte, 0);
}

TEST(Outcome, ModuleOfMoreThan65536BlocksIsServedWholeAcrossTheWrap) {
    constexpr uint32_t BLOCKS = 65536 + 300;
    auto rig = std::make_unique<SessionRig>();
    rig->image({BLOCKS, 5});
    for (uint32_t j = 0; j < BLOCKS; ++j) {
        rig->moduleData[0][j] = static_cast<uint8_t>((j * 2654435761u) >> 24);
    }
    rig->box.restart();
    rig->box.wakeup(1);
    rig->box.add(infoRequest(255, 1)); // blocks of 1 byte, windows of 255
    rig->box.request(0, 0, 1, 1);
    uint32_t next = 255;
    for (; next < BLOCKS; next += 255) {
        rig->box.request(0, static_cast<uint16_t>(next), 2, 255);
    }
    // The last window took the rest of module 0 and the 5 blocks of module 1.
    rig->box.request(1, 5, 5, static_cast<int>(BLOCKS + 5 - (next - 255)));
    ImmediateStart start;
    EXPECT_EQ(runSession(rig->ctx, start), 0);
    EXPECT_TRUE(rig->ctx.lastSucceeded);
    EXPECT_EQ(rig->ctx.lastDeliveredBytes, BLOCKS + 5u);

    // Every byte of module 0 arrived once, in order, each from its own place.
    ASSERT_EQ(rig->box.blocks.size(), BLOCKS + 5u);
    for (uint32_t j = 0; j < BLOCKS; ++j) {
        const SeenBlock& b = rig->box.blocks[j];
        ASSERT_EQ(b.moduleId, 0);
        ASSERT_EQ(b.blockNumber, static_cast<uint16_t>(j));
        ASSERT_EQ(b.data, Bytes{rig->moduleData[0][j]}) << "block " << j;
    }
}

} // namespace
} // namespace kestrune::test
