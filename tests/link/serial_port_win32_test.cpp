// The Win32 backend under Wine, COM1 on a pseudo-terminal whose far end is the native
// com_peer playing the box (see com_peer.cpp for its one-byte commands). The line tests run
// on both kinds of port, synchronous and overlapped.

#include "link/link_frame.h"
#include "link/system_serial_port.h"
#include "tests/support/port_checks.h"
#include "tests/support/virtual_port.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace kestrune {
namespace {

using test::Bytes;
using test::Clock;
using test::expectWaited;
using test::msSince;
using test::recordSink;
using test::SinkLog;

// Wine's timer tick can end a wait this much before its time.
constexpr long WINE_TICK_MS = 20;

Bytes readUpTo(SerialPort& port, uint32_t count, uint32_t timeoutMs) {
    Bytes out(count);
    uint32_t got = count;
    if (port.readBlock(out.data(), &got, timeoutMs) != LINK_OK) {
        got = 0;
    }
    out.resize(got);
    return out;
}

struct Com1 : ::testing::TestWithParam<PortIo> {
    SinkLog sink;
    std::unique_ptr<SystemSerialPort> port = createSystemSerialPort(recordSink, &sink, GetParam());

    void SetUp() override {
        ASSERT_TRUE(port->openDownloadPort("COM1")) << port->lastError();
        port->purge();
    }
};

TEST_P(Com1, DownloadConfigurationReachesTheLine) {
    EXPECT_EQ(sink.calls, 0);
    ASSERT_EQ(port->writeByte('S'), LINK_OK);
    // 57600 baud, 8 data bits, no parity, one stop bit, as the box's side sees it.
    EXPECT_EQ(readUpTo(*port, 4, 3000), (Bytes{1, 8, 0, 0}));
}

TEST_P(Com1, ReadTimeoutsShortReadsAndPurge) {
    // Nothing arriving: an I/O error once the time-out has passed, byte left alone.
    uint8_t byte = 0x77;
    auto start = Clock::now();
    EXPECT_EQ(port->readByte(&byte, 400), LINK_ERR_IO);
    expectWaited(msSince(start), 400, WINE_TICK_MS);
    EXPECT_EQ(byte, 0x77);

    // Five of eleven bytes: success with the short count, after the time-out.
    ASSERT_EQ(port->writeByte('P'), LINK_OK);
    start = Clock::now();
    EXPECT_EQ(readUpTo(*port, 11, 500), (Bytes{1, 2, 3, 4, 5}));
    expectWaited(msSince(start), 500, WINE_TICK_MS);

    // Purge discards what has arrived.
    ASSERT_EQ(port->writeByte('P'), LINK_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(port->purge());
    EXPECT_EQ(port->readByte(&byte, 200), LINK_ERR_IO);
}

TEST_P(Com1, FrameSentAndReceivedThroughThePeer) {
    SystemPauser pauser;
    test::RecordingProgress progress;
    LinkContext link{*port, pauser, progress};
    link.imageSize = 4000;

    // Every byte value, both ways.
    Bytes payload(1000);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i * 13);
    }
    ASSERT_EQ(port->writeByte('F'), LINK_OK);
    // The peer answers the first payload with 4: two attempts.
    EXPECT_EQ(sendFrame(link, payload.data(), 1000), LINK_OK);
    EXPECT_EQ(link.bytesSent, 1000u);
    EXPECT_EQ(progress.sent, std::vector<uint32_t>{1000});

    // It sends the payload back, corrupted once: 1, 4, then 1, 3.
    Bytes buffer(131072);
    uint32_t capacity = static_cast<uint32_t>(buffer.size());
    EXPECT_EQ(receiveFrame(link, buffer.data(), &capacity, 5000), LINK_OK);
    ASSERT_EQ(capacity, 1000u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 1000), payload);

    uint8_t verdict = 0;
    EXPECT_EQ(port->readByte(&verdict, 5000), LINK_OK);
    EXPECT_EQ(verdict, 'K') << "the peer saw unexpected acknowledgements";
}

TEST_P(Com1, WatchConfigurationSeesTheWakeUpByte) {
    ASSERT_EQ(port->writeByte('W'), LINK_OK); // a byte in 300 ms
    port->closeDownloadPort();
    ASSERT_TRUE(port->openWatchPort("COM1"));

    int polls = 0;
    bool seen = false;
    const auto start = Clock::now();
    while (!seen && msSince(start) < 3000) {
        const auto before = Clock::now();
        seen = port->pollWatchByte();
        ++polls;
        if (!seen) {
            EXPECT_LE(msSince(before), 100 + 40);
        }
    }
    EXPECT_TRUE(seen);
    EXPECT_GE(polls, 2); // it came after some empty polls
    port->closeWatchPort();
    port->closeWatchPort();
    EXPECT_FALSE(port->pollWatchByte());

    // 19200 baud 8N1 while the watch was open.
    ASSERT_TRUE(port->openDownloadPort("COM1"));
    ASSERT_EQ(port->writeByte('R'), LINK_OK);
    EXPECT_EQ(readUpTo(*port, 4, 3000), (Bytes{2, 8, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(BothKinds, Com1,
                         ::testing::Values(PortIo::Synchronous, PortIo::Overlapped));

TEST(MissingPort, FailsToOpenAndTellsTheSink) {
    // COM9 is mapped nowhere in the test prefix; COM42 goes through the device prefix.
    for (const char* name : {"COM9", "COM42"}) {
        SinkLog sink;
        auto port = createSystemSerialPort(recordSink, &sink);
        EXPECT_FALSE(port->openDownloadPort(name)) << name;
        EXPECT_EQ(sink.calls, 1) << name;
        EXPECT_EQ(sink.text, "Cannot Start Downloading!!!.");
        EXPECT_EQ(sink.caption, "Error");
        EXPECT_FALSE(port->openWatchPort(name)) << name;
        EXPECT_EQ(sink.calls, 1) << name; // the watch's caller reports its own failure

        // Every transfer on the port that did not open fails at once.
        const auto start = Clock::now();
        uint8_t buffer[4] = {};
        uint32_t count = 4;
        EXPECT_EQ(port->readBlock(buffer, &count, 5000), LINK_ERR_IO);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(port->writeBlock(buffer, 4), LINK_ERR_IO);
        EXPECT_FALSE(port->purge());
        EXPECT_FALSE(port->pollWatchByte());
        EXPECT_LT(msSince(start), 50);
        port->closeDownloadPort();
        port->closeDownloadPort();
    }
}

TEST(MissingPort, Com2MappedToAMissingPathDoesNotOpenForDownload) {
    // Wine hands out a handle for a mapped port whose device is missing; the line
    // settings then fail. Either way the download port is not usable.
    auto port = createSystemSerialPort(nullptr, nullptr);
    EXPECT_FALSE(port->openDownloadPort("COM2"));
}

// After a cancel every transfer fails at once, until the port is opened again. `peerAnswer`
// (when not 0) is awaited after the reopen, before the line is used.
void expectCancelledThenReopens(SystemSerialPort& port, uint8_t peerAnswer = 0) {
    const auto start = Clock::now();
    uint8_t byte = 0;
    EXPECT_EQ(port.readByte(&byte, 5000), LINK_ERR_IO);
    EXPECT_EQ(port.writeByte('P'), LINK_ERR_IO);
    EXPECT_FALSE(port.purge());
    EXPECT_LT(msSince(start), 50);
    ASSERT_TRUE(port.openDownloadPort("COM1"));
    if (peerAnswer != 0) {
        EXPECT_EQ(port.readByte(&byte, 5000), LINK_OK);
        EXPECT_EQ(byte, peerAnswer);
    }
    port.purge();
    ASSERT_EQ(port.writeByte('S'), LINK_OK);
    EXPECT_EQ(readUpTo(port, 4, 3000).size(), 4u);
}

struct Com1Cancel : ::testing::TestWithParam<PortIo> {};

TEST_P(Com1Cancel, CancelledPortFailsAtOnceUntilReopened) {
    auto port = createSystemSerialPort(nullptr, nullptr, GetParam());
    ASSERT_TRUE(port->openDownloadPort("COM1"));
    port->cancel();
    expectCancelledThenReopens(*port);
}

INSTANTIATE_TEST_SUITE_P(BothKinds, Com1Cancel,
                         ::testing::Values(PortIo::Synchronous, PortIo::Overlapped));

TEST(Com1Overlapped, CancelFromAnotherThreadEndsATransferInProgress) {
    auto port = createSystemSerialPort(nullptr, nullptr, PortIo::Overlapped);
    // More than the pseudo-terminal holds while the peer takes nothing.
    const Bytes flood(256 * 1024, 0x00);
    uint8_t byte = 0;
    const struct {
        const char* what;
        uint8_t command; // sent to the peer first (0: none)
        std::function<int()> transfer;
    } cases[] = {
        {"a read with a 100000 ms time-out", 0, [&] { return port->readByte(&byte, 100000); }},
        {"a write the peer does not take", 'H',
         [&] { return port->writeBlock(flood.data(), static_cast<uint32_t>(flood.size())); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(port->openDownloadPort("COM1"));
        port->purge();
        if (c.command != 0) {
            ASSERT_EQ(port->writeByte(c.command), LINK_OK);
        }
        Clock::time_point cancelled;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cancelled = Clock::now();
            port->cancel();
        });
        const int result = c.transfer();
        const auto returned = Clock::now();
        canceller.join();
        const long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(returned - cancelled).count());
        std::printf("  %s returned %ld ms after the cancel\n", c.what, ms);
        EXPECT_EQ(result, LINK_ERR_IO);
        EXPECT_GE(ms, 0); // it was still in progress when cancelled
        EXPECT_LT(ms, 200);
        expectCancelledThenReopens(*port, c.command == 'H' ? 'h' : 0);
    }
}

} // namespace
} // namespace kestrune
