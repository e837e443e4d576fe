#include "link/link_frame.h"
#include "tests/support/virtual_port.h"

#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune {
namespace {

using test::RecordingProgress;
using test::VirtualClock;
using test::VirtualPauser;
using test::VirtualPort;

using Bytes = std::vector<uint8_t>;

const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

Bytes headerFor(const Bytes& payload) {
    Bytes header(LINK_HEADER_SIZE);
    buildLinkHeader(payload.data(), static_cast<uint32_t>(payload.size()), header.data());
    return header;
}

struct Link {
    VirtualClock clock;
    VirtualPort port{clock};
    VirtualPauser pauser{clock};
    RecordingProgress progress;
    LinkContext context{port, pauser, progress};

    // The writes the server made, as byte strings.
    std::vector<Bytes> written() const {
        std::vector<Bytes> out;
        for (const auto& w : port.writes) {
            out.push_back(w.bytes);
        }
        return out;
    }
};

TEST(Crc, CheckValuesAndTables) {
    EXPECT_EQ(crc32(digits.data(), 9, 0xFFFFFFFFu), 0x0376E6E7u);
    EXPECT_EQ(crc32(digits.data(), 0, 0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_EQ(crc16(digits.data(), 9, 0), 0xBB3D);
    EXPECT_EQ(crc16(digits.data(), 0, 0x1234), 0x1234);

    // From a zero register one byte gives its table entry: the polynomial for byte 1,
    // its reflected form's first step for CRC-16.
    const uint8_t one = 1;
    EXPECT_EQ(crc32(&one, 1, 0), 0x04C11DB7u);
    EXPECT_EQ(crc16(&one, 1, 0), 0xC0C1);

    // The initial value carries a running CRC across pieces.
    const uint32_t part = crc32(digits.data(), 4, 0xFFFFFFFFu);
    EXPECT_EQ(crc32(digits.data() + 4, 5, part), 0x0376E6E7u);
    const uint16_t part16 = crc16(digits.data(), 3, 0);
    EXPECT_EQ(crc16(digits.data() + 3, 6, part16), 0xBB3D);
}

TEST(LinkHeader, DigitsOneToNine) {
    const Bytes expected = {0x00, 0x00, 0x00, 0x09, 0x03, 0x76, 0xE6, 0xE7, 0x00, 0xD6, 0xF4};
    EXPECT_EQ(headerFor(digits), expected);
    // CRC-16 over the first nine header bytes, stored high byte first.
    const Bytes header = headerFor(digits);
    const uint16_t crc = crc16(header.data(), 9, 0);
    EXPECT_EQ(header[9], crc >> 8);
    EXPECT_EQ(header[10], crc & 0xFF);
}

// A box that answers every header with `headerAck` and each payload with the next of
// `payloadAcks` (silence once they run out).
void scriptBoxReceiver(Link& link, int headerAck, Bytes payloadAcks) {
    auto acks = std::make_shared<Bytes>(std::move(payloadAcks));
    auto writesSeen = std::make_shared<int>(0);
    link.port.onWrite = [&link, headerAck, acks, writesSeen](const Bytes&) {
        const bool isHeader = (*writesSeen)++ % 2 == 0;
        if (isHeader) {
            if (headerAck >= 0) {
                link.port.arrive({static_cast<uint8_t>(headerAck)}, 5);
            }
        } else if (!acks->empty()) {
            link.port.arrive({acks->front()}, 20);
            acks->erase(acks->begin());
        }
    };
}

TEST(SendFrame, NakThreeTimesThenAck) {
    Link link;
    link.context.imageSize = 900;
    link.context.bytesSent = 90;
    scriptBoxReceiver(link, LINK_ACK_HEADER,
                      {LINK_NAK_CRC, LINK_NAK_CRC, LINK_NAK_CRC, LINK_ACK_OK});

    EXPECT_EQ(sendFrame(link.context, digits.data(), 9), LINK_OK);

    const auto writes = link.written();
    ASSERT_EQ(writes.size(), 8u); // four attempts of header + payload
    for (size_t i = 0; i < writes.size(); i += 2) {
        EXPECT_EQ(writes[i], headerFor(digits));
        EXPECT_EQ(writes[i + 1], digits);
    }
    EXPECT_EQ(link.context.bytesSent, 99u);                   // grown once
    EXPECT_EQ(link.progress.sent, std::vector<uint32_t>{99}); // once, after the attempts
    // Each attempt: header ack after 5 ms, the 100 ms pause, payload ack after 20 ms.
    EXPECT_EQ(link.pauser.pauses, std::vector<uint32_t>(4, 100));
    EXPECT_EQ(link.clock.nowMs, 4u * (5 + 100 + 20));
}

TEST(SendFrame, SilentBoxGivesRetriesAfterTenFullAttempts) {
    Link link;
    link.context.imageSize = 3;

    EXPECT_EQ(sendFrame(link.context, digits.data(), 1), LINK_ERR_RETRIES);

    EXPECT_EQ(link.port.writes.size(), 20u);
    EXPECT_EQ(link.clock.nowMs, 10u * (3000 + 100 + 3000));
    for (const auto& r : link.port.reads) {
        EXPECT_EQ(r.timeoutMs, LINK_ACK_TIMEOUT_MS);
        EXPECT_EQ(r.wanted, 1u);
    }
    // Progress is reported even though the frame was not delivered.
    EXPECT_EQ(link.context.bytesSent, 1u);
    EXPECT_EQ(link.progress.sent, std::vector<uint32_t>{1});
}

TEST(SendFrame, OnlyAckThreeAfterThePayloadDelivers) {
    // The header answer is not examined (here a stray 4, or nothing), while a payload
    // answered with 1 or 2 is not delivered.
    Link link;
    link.context.imageSize = 100;
    scriptBoxReceiver(link, LINK_NAK_CRC, {LINK_ACK_HEADER, LINK_ACK_WAKEUP, 0xFF, LINK_ACK_OK});
    EXPECT_EQ(sendFrame(link.context, digits.data(), 9), LINK_OK);
    EXPECT_EQ(link.port.writes.size(), 8u);

    Link quiet;
    quiet.context.imageSize = 100;
    scriptBoxReceiver(quiet, -1, {LINK_ACK_OK});
    EXPECT_EQ(sendFrame(quiet.context, digits.data(), 9), LINK_OK);
    EXPECT_EQ(quiet.port.writes.size(), 2u);
    EXPECT_EQ(quiet.clock.nowMs, 3000u + 100 + 20); // the lost header ack costs its time-out
}

TEST(SendFrame, StaleByteIsNotTakenForAnAck) {
    // A 3 received as the header acknowledgement must not count for the payload.
    Link link;
    link.context.imageSize = 100;
    scriptBoxReceiver(link, LINK_ACK_OK, {});
    EXPECT_EQ(sendFrame(link.context, digits.data(), 9), LINK_ERR_RETRIES);
    EXPECT_EQ(link.port.writes.size(), 20u);
}

TEST(SendFrame, EmptyPayloadAndProgressAcrossFrames) {
    Link link;
    link.context.imageSize = 1000;
    scriptBoxReceiver(link, LINK_ACK_HEADER, {LINK_ACK_OK, LINK_ACK_OK, LINK_ACK_OK});
    const Bytes block(501, 0xA5);
    EXPECT_EQ(sendFrame(link.context, block.data(), 500), LINK_OK);
    EXPECT_EQ(sendFrame(link.context, nullptr, 0), LINK_OK);
    EXPECT_EQ(sendFrame(link.context, block.data(), 501), LINK_OK);
    const Bytes emptyHeader = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    const auto writes = link.written();
    EXPECT_EQ(Bytes(writes[2].begin(), writes[2].begin() + 9), emptyHeader);
    EXPECT_TRUE(writes[3].empty());
    EXPECT_EQ(link.context.bytesSent, 1001u);
    EXPECT_EQ(link.progress.sent, (std::vector<uint32_t>{500, 500, 1001}));
}

// A box that sends `frames` one after the other: each frame's header at once, its payload
// after the server's 1, and the next frame after the server's 4 (nothing after a 3).
struct BoxFrame {
    Bytes header;
    Bytes payload;
    uint64_t payloadDelayMs = 10;
};

void scriptBoxSender(Link& link, std::vector<BoxFrame> frames) {
    auto queue = std::make_shared<std::vector<BoxFrame>>(std::move(frames));
    if (queue->empty()) {
        return;
    }
    link.port.arrive(queue->front().header, 50);
    link.port.onWrite = [&link, queue](const Bytes& written) {
        if (written.size() != 1 || queue->empty()) {
            return;
        }
        if (written[0] == LINK_ACK_HEADER) {
            link.port.arrive(queue->front().payload, queue->front().payloadDelayMs);
        } else if (written[0] == LINK_NAK_CRC) {
            queue->erase(queue->begin());
            if (!queue->empty()) {
                link.port.arrive(queue->front().header, 50);
            }
        }
    };
}

TEST(ReceiveFrame, DigitsAreAcceptedWithAckOneThenThree) {
    Link link;
    scriptBoxSender(link, {{headerFor(digits), digits}});
    uint8_t buffer[131072];
    uint32_t capacity = sizeof buffer;
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 30000), LINK_OK);
    EXPECT_EQ(capacity, 9u);
    EXPECT_EQ(Bytes(buffer, buffer + 9), digits);
    EXPECT_EQ(link.written(), (std::vector<Bytes>{{LINK_ACK_HEADER}, {LINK_ACK_OK}}));
    ASSERT_EQ(link.port.reads.size(), 2u);
    EXPECT_EQ(link.port.reads[0].wanted, 11u);
    EXPECT_EQ(link.port.reads[0].timeoutMs, LINK_HEADER_TIMEOUT_MS);
    EXPECT_EQ(link.port.reads[1].wanted, 9u);
    EXPECT_EQ(link.port.reads[1].timeoutMs, 30000u);
    EXPECT_TRUE(link.progress.sent.empty()); // receiving reports no progress
}

TEST(ReceiveFrame, HeaderCrcAndReservedByteAreNotExamined) {
    Bytes header = headerFor(digits);
    header[8] = 0x5A;
    header[9] ^= 0xFF;
    header[10] ^= 0x01;
    Link link;
    scriptBoxSender(link, {{header, digits}});
    uint8_t buffer[64];
    uint32_t capacity = sizeof buffer;
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 30000), LINK_OK);
    EXPECT_EQ(capacity, 9u);
}

TEST(ReceiveFrame, AnnouncementBeyondCapacityReadsCapacityAndNaks) {
    Bytes payload(200000);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    Link link;
    // The box then gives up: no further header.
    scriptBoxSender(link, {{headerFor(payload), payload}});
    static uint8_t buffer[131072];
    uint32_t capacity = sizeof buffer;
    // The rest of the oversized payload is then taken for the next header; in the end
    // the box's silence ends the call.
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 60000), LINK_ERR_IO);
    const auto writes = link.written();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0], Bytes{LINK_ACK_HEADER});
    EXPECT_EQ(writes[1], Bytes{LINK_NAK_CRC});
    ASSERT_GE(link.port.reads.size(), 2u);
    EXPECT_EQ(link.port.reads[1].wanted, 131072u);
    EXPECT_EQ(link.port.reads[1].received, 131072u);
    EXPECT_EQ(capacity, 131072u); // left alone on failure
    EXPECT_EQ(link.port.reads[2].wanted, 11u);
}

TEST(ReceiveFrame, PartialPayloadNaksAndTheRetryIsAccepted) {
    Link link;
    const Bytes eight(digits.begin(), digits.end() - 1);
    scriptBoxSender(link, {{headerFor(digits), eight}, {headerFor(digits), digits}});
    uint8_t buffer[131072];
    uint32_t capacity = sizeof buffer;
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 30000), LINK_OK);
    EXPECT_EQ(capacity, 9u);
    EXPECT_EQ(
        link.written(),
        (std::vector<Bytes>{{LINK_ACK_HEADER}, {LINK_NAK_CRC}, {LINK_ACK_HEADER}, {LINK_ACK_OK}}));
    // The short payload read waited its whole time-out.
    EXPECT_EQ(link.port.reads[1].received, 8u);
    EXPECT_EQ(link.port.reads[1].atMs, 50u + 30000u);
}

TEST(ReceiveFrame, TenMismatchesGiveRetries) {
    Bytes corrupt = digits;
    corrupt[4] ^= 0x10;
    Link link;
    scriptBoxSender(link, std::vector<BoxFrame>(10, BoxFrame{headerFor(digits), corrupt}));
    uint8_t buffer[16];
    uint32_t capacity = sizeof buffer;
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 30000), LINK_ERR_RETRIES);
    EXPECT_EQ(capacity, 16u);
    ASSERT_EQ(link.port.writes.size(), 20u);
    for (size_t i = 0; i < 20; i += 2) {
        EXPECT_EQ(link.port.writes[i].bytes, Bytes{LINK_ACK_HEADER});
        EXPECT_EQ(link.port.writes[i + 1].bytes, Bytes{LINK_NAK_CRC});
    }
}

TEST(ReceiveFrame, SilenceBeforeHeaderOrPayloadIsAnIoError) {
    Link silent;
    uint8_t buffer[16];
    uint32_t capacity = sizeof buffer;
    EXPECT_EQ(receiveFrame(silent.context, buffer, &capacity, 30000), LINK_ERR_IO);
    EXPECT_TRUE(silent.port.writes.empty()); // no acknowledgement at all
    EXPECT_EQ(silent.clock.nowMs, 100000u);
    EXPECT_EQ(capacity, 16u);

    Link headerOnly;
    headerOnly.port.arrive(headerFor(digits));
    EXPECT_EQ(receiveFrame(headerOnly.context, buffer, &capacity, 60000), LINK_ERR_IO);
    EXPECT_EQ(headerOnly.written(), std::vector<Bytes>{{LINK_ACK_HEADER}});
    EXPECT_EQ(headerOnly.clock.nowMs, 60000u);
}

TEST(ReceiveFrame, ZeroLengthAnnouncementIsAnIoError) {
    // Nothing can arrive for an empty payload, which counts as a silent box.
    const Bytes empty;
    Link link;
    link.port.arrive(headerFor(empty));
    uint8_t buffer[16];
    uint32_t capacity = sizeof buffer;
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 30000), LINK_ERR_IO);
    EXPECT_EQ(link.written(), std::vector<Bytes>{{LINK_ACK_HEADER}});
}

TEST(ReceiveFrame, ShortHeaderKeepsThePreviousHeaderBytes) {
    // Only the first four header bytes arrive; the CRC field still holds the previous
    // frame's, which here matches the payload that follows.
    Link link;
    link.port.arrive(headerFor(digits));
    link.port.onWrite = [&link](const Bytes& w) {
        if (w == Bytes{LINK_ACK_HEADER}) {
            link.port.arrive(digits, 1);
        }
    };
    uint8_t buffer[16];
    uint32_t capacity = sizeof buffer;
    ASSERT_EQ(receiveFrame(link.context, buffer, &capacity, 1000), LINK_OK);

    link.port.arrive({0, 0, 0, 9});
    capacity = sizeof buffer;
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 1000), LINK_OK);
    EXPECT_EQ(capacity, 9u);
    EXPECT_EQ(link.port.reads[2].received, 4u);
}

// After the session driver's purge a USB adapter still delivers what it held. Bytes that
// cannot begin a header are skipped before the first header only; a 0 begins it, as always.
TEST(ReceiveFrame, LeftoversBeforeTheFirstHeader) {
    const Bytes wakeups(3, 0x55);
    const Bytes endless(LINK_MAX_LEFTOVERS + 1, 0xFF);
    struct Case {
        const char* name;
        bool armed;
        Bytes leftovers;
        int result;
        uint32_t skipped;
    };
    const Case cases[] = {
        {"wake-up bytes skipped", true, wakeups, LINK_OK, 3},
        {"not armed: the first byte begins the header", false, wakeups, LINK_ERR_IO, 0},
        {"a zero byte begins the header", true, {0x00}, LINK_ERR_IO, 0},
        {"no leftovers", true, {}, LINK_OK, 0},
        {"an endless stream reaches the ordinary course", true, endless, LINK_ERR_IO,
         LINK_MAX_LEFTOVERS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link link;
        link.context.skipLeftovers = c.armed;
        link.port.arrive(c.leftovers);
        scriptBoxSender(link, {{headerFor(digits), digits}});
        uint8_t buffer[64];
        uint32_t capacity = sizeof buffer;
        EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 1000), c.result);
        EXPECT_EQ(link.context.leftoversSkipped, c.skipped);
        EXPECT_FALSE(link.context.skipLeftovers);
        if (c.result == LINK_OK) {
            EXPECT_EQ(Bytes(buffer, buffer + capacity), digits);
        }
    }

    // Only the first header: a later frame's stray byte is taken for its header, as specified.
    Link link;
    link.context.skipLeftovers = true;
    scriptBoxSender(link, {{headerFor(digits), digits}});
    uint8_t buffer[64];
    uint32_t capacity = sizeof buffer;
    ASSERT_EQ(receiveFrame(link.context, buffer, &capacity, 1000), LINK_OK);
    link.port.arrive({0x55});
    scriptBoxSender(link, {{headerFor(digits), digits}});
    capacity = sizeof buffer;
    EXPECT_NE(receiveFrame(link.context, buffer, &capacity, 1000), LINK_OK);
    EXPECT_EQ(link.context.leftoversSkipped, 0u);
}

// An adapter delivers a frame in packets, up to its latency apart: header and payload are each
// read whole, after leftovers too, however they are cut.
TEST(ReceiveFrame, FrameInAdapterPackets) {
    const Bytes header = headerFor(digits);
    for (const bool armed : {false, true}) {
        for (const size_t packet : {1u, 2u, 5u, 10u}) {
            SCOPED_TRACE(std::string(armed ? "after leftovers, " : "") + "packets of " +
                         std::to_string(packet));
            Link link;
            link.context.skipLeftovers = armed;
            const auto inPackets = [&link, packet](const Bytes& bytes) {
                for (size_t at = 0; at < bytes.size(); at += packet) {
                    const size_t end = std::min(bytes.size(), at + packet);
                    link.port.arrive(Bytes(bytes.begin() + static_cast<long>(at),
                                           bytes.begin() + static_cast<long>(end)),
                                     16 * (at / packet));
                }
            };
            if (armed) {
                link.port.arrive({0x55, 0x55});
            }
            inPackets(header);
            link.port.onWrite = [&](const Bytes& written) {
                if (written == Bytes{LINK_ACK_HEADER}) {
                    inPackets(digits);
                }
            };
            uint8_t buffer[64];
            uint32_t capacity = sizeof buffer;
            EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 1000), LINK_OK);
            EXPECT_EQ(capacity, 9u);
            EXPECT_EQ(link.written(), (std::vector<Bytes>{{LINK_ACK_HEADER}, {LINK_ACK_OK}}));
        }
    }
}

// Every frame the tap was told of.
struct RecordingTap final : FrameTap {
    struct Seen {
        FrameDirection direction;
        Bytes payload;
    };
    std::vector<Seen> frames;
    void onFrame(FrameDirection direction, const uint8_t* payload, uint32_t length) override {
        frames.push_back({direction, Bytes(payload, payload + length)});
    }
};

TEST(LinkHooks, ResentFramesAndTheTapSeeOnlyWhatTheLineDid) {
    Bytes corrupt = digits;
    corrupt[0] ^= 0x01;
    struct Case {
        const char* name;
        std::function<int(Link&)> run;
        uint32_t resent;
        int tapped; // -1 none, else the direction of the one frame tapped
    };
    const auto send = [](Link& link) { return sendFrame(link.context, digits.data(), 9); };
    uint8_t buffer[64];
    const auto receive = [&buffer](Link& link) {
        uint32_t capacity = sizeof buffer;
        return receiveFrame(link.context, buffer, &capacity, 1000);
    };
    const Case cases[] = {
        {"sent after three NAKs",
         [&](Link& link) {
             scriptBoxReceiver(link, LINK_ACK_HEADER,
                               {LINK_NAK_CRC, LINK_NAK_CRC, LINK_NAK_CRC, LINK_ACK_OK});
             return send(link);
         },
         3, static_cast<int>(FrameDirection::ToBox)},
        {"sent at once",
         [&](Link& link) {
             scriptBoxReceiver(link, LINK_ACK_HEADER, {LINK_ACK_OK});
             return send(link);
         },
         0, static_cast<int>(FrameDirection::ToBox)},
        {"sent to a silent box", send, 9, -1},
        {"received after two damaged payloads",
         [&](Link& link) {
             scriptBoxSender(link, {{headerFor(digits), corrupt},
                                    {headerFor(digits), corrupt},
                                    {headerFor(digits), digits}});
             return receive(link);
         },
         2, static_cast<int>(FrameDirection::FromBox)},
        {"received ten times damaged",
         [&](Link& link) {
             scriptBoxSender(link, std::vector<BoxFrame>(10, BoxFrame{headerFor(digits), corrupt}));
             return receive(link);
         },
         10, -1},
        {"nothing received", receive, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link link;
        link.context.imageSize = 100;
        RecordingTap tap;
        link.context.tap = &tap;
        const int result = c.run(link);
        EXPECT_EQ(result == LINK_OK, c.tapped >= 0);
        EXPECT_EQ(link.context.framesResent, c.resent);
        if (c.tapped < 0) {
            EXPECT_TRUE(tap.frames.empty());
        } else {
            ASSERT_EQ(tap.frames.size(), 1u);
            EXPECT_EQ(static_cast<int>(tap.frames[0].direction), c.tapped);
            EXPECT_EQ(tap.frames[0].payload, digits);
        }
    }
}

} // namespace
} // namespace kestrune
