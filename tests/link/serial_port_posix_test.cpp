#include "link/link_frame.h"
#include "link/system_serial_port.h"
#include "tests/support/port_checks.h"
#include "tests/support/pty_peer.h"
#include "tests/support/virtual_port.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrune {
namespace {

using test::Bytes;
using test::Clock;
using test::expectWaited;
using test::msSince;
using test::PtyPair;
using test::recordSink;
using test::SinkLog;

struct OpenPort {
    PtyPair pty;
    SinkLog sink;
    std::unique_ptr<SystemSerialPort> port = createSystemSerialPort(recordSink, &sink);

    OpenPort() {
        EXPECT_GE(pty.master, 0);
        EXPECT_TRUE(port->openDownloadPort(pty.slavePath.c_str())) << port->lastError();
    }
};

TEST(PosixSerialPort, DownloadConfigurationIsRaw57600) {
    OpenPort p;
    termios t;
    ASSERT_EQ(tcgetattr(p.pty.slave, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), B57600);
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(p.sink.calls, 0);

    // Every byte value passes unchanged both ways.
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(p.port->writeBlock(all.data(), 256), LINK_OK);
    EXPECT_EQ(p.pty.receive(256, 2000), all);
    ASSERT_TRUE(p.pty.send(all));
    Bytes back(256);
    uint32_t count = 256;
    EXPECT_EQ(p.port->readBlock(back.data(), &count, 2000), LINK_OK);
    EXPECT_EQ(count, 256u);
    EXPECT_EQ(back, all);
}

TEST(PosixSerialPort, ShortReadIsASuccessAfterTheTimeout) {
    OpenPort p;
    ASSERT_TRUE(p.pty.send({1, 2, 3, 4, 5}));
    uint8_t buffer[11] = {};
    uint32_t count = 11;
    const auto start = Clock::now();
    EXPECT_EQ(p.port->readBlock(buffer, &count, 300), LINK_OK);
    expectWaited(msSince(start), 300);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{1, 2, 3, 4, 5}));
}

TEST(PosixSerialPort, ReadReturnsAsSoonAsAllBytesAreIn) {
    OpenPort p;
    std::thread box([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        p.pty.send({9, 8, 7});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        p.pty.send({6, 5});
    });
    uint8_t buffer[5] = {};
    uint32_t count = 5;
    const auto start = Clock::now();
    EXPECT_EQ(p.port->readBlock(buffer, &count, 5000), LINK_OK);
    EXPECT_LT(msSince(start), 1000);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{9, 8, 7, 6, 5}));
    box.join();
}

TEST(PosixSerialPort, NothingArrivingIsAnIoErrorAfterTheTimeout) {
    OpenPort p;
    uint8_t buffer[11];
    uint32_t count = 11;
    auto start = Clock::now();
    EXPECT_EQ(p.port->readBlock(buffer, &count, 400), LINK_ERR_IO);
    expectWaited(msSince(start), 400);
    EXPECT_EQ(count, 0u);

    uint8_t byte = 0x77;
    start = Clock::now();
    EXPECT_EQ(p.port->readByte(&byte, 250), LINK_ERR_IO);
    expectWaited(msSince(start), 250);
    EXPECT_EQ(byte, 0x77);

    // A box that is gone (the pty's other side closed) is as silent as one that is quiet.
    p.pty.closeMaster();
    start = Clock::now();
    count = 11;
    EXPECT_EQ(p.port->readBlock(buffer, &count, 300), LINK_ERR_IO);
    expectWaited(msSince(start), 300);
}

TEST(PosixSerialPort, ClosedPortFailsAtOnceAndCloseTwiceIsHarmless) {
    SinkLog sink;
    auto port = createSystemSerialPort(recordSink, &sink);
    port->closeDownloadPort(); // never opened

    PtyPair pty;
    ASSERT_TRUE(port->openDownloadPort(pty.slavePath.c_str()));
    port->closeDownloadPort();
    port->closeDownloadPort();

    const auto start = Clock::now();
    uint8_t buffer[4] = {};
    uint32_t count = 4;
    EXPECT_EQ(port->readBlock(buffer, &count, 5000), LINK_ERR_IO);
    EXPECT_EQ(count, 0u);
    uint8_t byte = 0x42;
    EXPECT_EQ(port->readByte(&byte, 5000), LINK_ERR_IO);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(port->writeByte(1), LINK_ERR_IO);
    EXPECT_EQ(port->writeBlock(buffer, 4), LINK_ERR_IO);
    EXPECT_FALSE(port->purge());
    EXPECT_FALSE(port->pollWatchByte());
    EXPECT_LT(msSince(start), 50);
    EXPECT_EQ(sink.calls, 0);
}

TEST(PosixSerialPort, FailedOpenTellsTheSinkAndLeavesThePortClosed) {
    SinkLog sink;
    auto port = createSystemSerialPort(recordSink, &sink);
    EXPECT_FALSE(port->openDownloadPort("/dev/kestrune-no-such-port"));
    EXPECT_EQ(sink.calls, 1);
    EXPECT_EQ(sink.text, "Cannot Start Downloading!!!.");
    EXPECT_EQ(sink.caption, "Error");
    EXPECT_NE(std::string(port->lastError()).find("/dev/kestrune-no-such-port"), std::string::npos);
    EXPECT_EQ(port->writeByte(2), LINK_ERR_IO);

    // A failed watch open only returns false: its caller reports it.
    EXPECT_FALSE(port->openWatchPort("/dev/kestrune-no-such-port"));
    EXPECT_EQ(sink.calls, 1);
    // A null sink is allowed.
    auto quiet = createSystemSerialPort(nullptr, nullptr);
    EXPECT_FALSE(quiet->openDownloadPort("/dev/kestrune-no-such-port"));
}

TEST(PosixSerialPort, ComNamesMeanTheFirstTwoSerialDevices) {
    // Whether these devices exist depends on the machine; a failure names the device.
    const struct {
        const char* name;
        const char* device;
    } names[] = {{"COM1", "/dev/ttyS0"}, {"com2", "/dev/ttyS1"}};
    for (const auto& n : names) {
        auto port = createSystemSerialPort(nullptr, nullptr);
        if (!port->openDownloadPort(n.name)) {
            EXPECT_NE(std::string(port->lastError()).find(n.device), std::string::npos)
                << n.name << ": " << port->lastError();
        }
    }
}

TEST(PosixSerialPort, OpenIsExclusive) {
    OpenPort p;
    SinkLog sink;
    auto other = createSystemSerialPort(recordSink, &sink);
    EXPECT_FALSE(other->openDownloadPort(p.pty.slavePath.c_str()));
    EXPECT_EQ(sink.calls, 1);
    EXPECT_FALSE(other->openWatchPort(p.pty.slavePath.c_str()));
    p.port->closeDownloadPort();
    EXPECT_TRUE(other->openDownloadPort(p.pty.slavePath.c_str()));
}

// Anything that is not a terminal is refused before a byte is written to it, and each kind of
// failure is told apart so that the operator learns what to do.
TEST(PosixSerialPort, FailedOpensSayWhy) {
    PtyPair held;
    auto holder = createSystemSerialPort(nullptr, nullptr);
    ASSERT_TRUE(holder->openDownloadPort(held.slavePath.c_str()));
    char file[] = "/tmp/kestrune-port-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    const std::string image = "\x01\x02\x03 an image, not a port";
    ASSERT_EQ(write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
    close(fd);

    const struct {
        std::string path;
        PortOpenError failure;
    } rows[] = {
        {"/dev/kestrune-no-such-port", PortOpenError::NotFound},
        {"/tmp/kestrune-no-such-dir/tty", PortOpenError::NotFound},
        {file, PortOpenError::NotSerialPort},
        {"/dev/null", PortOpenError::NotSerialPort},
        {"/tmp", PortOpenError::NotSerialPort},
        {held.slavePath, PortOpenError::Busy},
    };
    for (const auto& row : rows) {
        auto port = createSystemSerialPort(nullptr, nullptr);
        EXPECT_FALSE(port->openDownloadPort(row.path.c_str())) << row.path;
        EXPECT_EQ(port->lastOpenError(), row.failure) << row.path << ": " << port->lastError();
        EXPECT_NE(std::string(port->lastError()).find(row.path), std::string::npos);
        EXPECT_EQ(port->writeByte(2), LINK_ERR_IO);
        EXPECT_FALSE(port->openWatchPort(row.path.c_str())) << row.path;
        EXPECT_EQ(port->lastOpenError(), row.failure) << row.path;
    }
    std::string after(image.size() + 8, '\0');
    FILE* f = std::fopen(file, "rb");
    ASSERT_NE(f, nullptr);
    after.resize(std::fread(after.data(), 1, after.size(), f));
    std::fclose(f);
    unlink(file);
    EXPECT_EQ(after, image);

    holder->closeDownloadPort();
    auto port = createSystemSerialPort(nullptr, nullptr);
    EXPECT_TRUE(port->openDownloadPort(held.slavePath.c_str()));
    EXPECT_EQ(port->lastOpenError(), PortOpenError::None);
}

// The terminal's exclusive mode keeps out programs that do not take the advisory lock, and is
// given up on close so that the next opener gets in.
TEST(PosixSerialPort, ExclusiveModeLastsWhileOpen) {
    PtyPair pty;
    auto port = createSystemSerialPort(nullptr, nullptr);
    ASSERT_TRUE(port->openDownloadPort(pty.slavePath.c_str()));
    int exclusive = 0;
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0);
    if (geteuid() != 0) {
        // Privileged openers ignore the mode, so only an ordinary user sees the refusal.
        EXPECT_LT(open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY), 0);
        EXPECT_EQ(errno, EBUSY);
    }
    port->closeDownloadPort();
    ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

TEST(PosixSerialPort, WatchConfigurationPollsOneByteWithinAHundredMs) {
    PtyPair pty;
    auto port = createSystemSerialPort(nullptr, nullptr);
    ASSERT_TRUE(port->openWatchPort(pty.slavePath.c_str()));
    termios t;
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_lflag & (ICANON | ISIG), 0u);

    auto start = Clock::now();
    EXPECT_FALSE(port->pollWatchByte());
    expectWaited(msSince(start), 100);

    ASSERT_TRUE(pty.send({0x03})); // would be an interrupt on a cooked line
    start = Clock::now();
    EXPECT_TRUE(port->pollWatchByte());
    EXPECT_LT(msSince(start), 100);
    port->closeWatchPort();
    port->closeWatchPort();
    EXPECT_FALSE(port->pollWatchByte());

    // The download port is independent of the watch port.
    EXPECT_EQ(port->writeByte(1), LINK_ERR_IO);
}

TEST(PosixSerialPort, CancelWakesABlockedReadAndHoldsUntilReopened) {
    OpenPort p;
    int result = -1;
    long waitedMs = -1;
    std::thread session([&] {
        uint8_t buffer[11];
        uint32_t count = 11;
        const auto start = Clock::now();
        result = p.port->readBlock(buffer, &count, 10000);
        waitedMs = msSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    p.port->cancel();
    session.join();
    EXPECT_EQ(result, LINK_ERR_IO);
    EXPECT_LT(waitedMs, 1000);

    // Everything after it fails at once, even with bytes waiting.
    ASSERT_TRUE(p.pty.send({1, 2, 3}));
    const auto start = Clock::now();
    uint8_t byte = 0;
    EXPECT_EQ(p.port->readByte(&byte, 5000), LINK_ERR_IO);
    EXPECT_EQ(p.port->writeByte(1), LINK_ERR_IO);
    EXPECT_FALSE(p.port->purge());
    EXPECT_LT(msSince(start), 50);

    // A new open starts afresh.
    ASSERT_TRUE(p.port->openDownloadPort(p.pty.slavePath.c_str()));
    // The bytes that came in meanwhile are still there, as on any reopened port.
    ASSERT_TRUE(p.pty.send({0x5A}));
    uint8_t buffer[4] = {};
    uint32_t count = 4;
    EXPECT_EQ(p.port->readBlock(buffer, &count, 2000), LINK_OK);
    EXPECT_EQ(Bytes(buffer, buffer + count), (Bytes{1, 2, 3, 0x5A}));
}

TEST(PosixSerialPort, CancelWakesABlockedWrite) {
    // Nobody reads the master: a large write fills the pty and blocks.
    OpenPort p;
    int result = -1;
    std::thread session([&] {
        std::vector<uint8_t> big(1 << 20, 0x55);
        result = p.port->writeBlock(big.data(), static_cast<uint32_t>(big.size()));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    p.port->cancel();
    session.join();
    EXPECT_EQ(result, LINK_ERR_IO);
}

TEST(PosixSerialPort, PurgeDiscardsWaitingInput) {
    OpenPort p;
    ASSERT_TRUE(p.pty.send({1, 2, 3}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(p.port->purge());
    uint8_t byte = 0;
    EXPECT_EQ(p.port->readByte(&byte, 100), LINK_ERR_IO);
}

// ---- Frames across the pty, the test playing the box on the master side ----

Bytes headerFor(const Bytes& payload) {
    Bytes header(LINK_HEADER_SIZE);
    buildLinkHeader(payload.data(), static_cast<uint32_t>(payload.size()), header.data());
    return header;
}

uint32_t crcOf(const Bytes& b) {
    return crc32(b.data(), static_cast<uint32_t>(b.size()), 0xFFFFFFFFu);
}

struct FrameLink : OpenPort {
    SystemPauser pauser;
    test::RecordingProgress progress;
    LinkContext context{*port, pauser, progress};
};

TEST(PosixFrames, SendFrameWithOneNakThenAck) {
    FrameLink link;
    link.context.imageSize = 200000;
    Bytes payload(65535);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i ^ (i >> 8));
    }
    std::vector<Bytes> headers;
    std::vector<Bytes> payloads;
    std::thread box([&] {
        for (int attempt = 0; attempt < 2; ++attempt) {
            headers.push_back(link.pty.receive(LINK_HEADER_SIZE, 3000));
            link.pty.send({LINK_ACK_HEADER});
            payloads.push_back(link.pty.receive(payload.size(), 3000));
            link.pty.send({attempt == 0 ? LINK_NAK_CRC : LINK_ACK_OK});
        }
    });
    const auto start = Clock::now();
    EXPECT_EQ(sendFrame(link.context, payload.data(), 65535), LINK_OK);
    box.join();
    EXPECT_GE(msSince(start), 200); // two real 100 ms pauses
    ASSERT_EQ(headers.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(headers[i], headerFor(payload));
        EXPECT_EQ(payloads[i].size(), payload.size());
        EXPECT_EQ(crcOf(payloads[i]), crcOf(payload));
    }
    EXPECT_EQ(link.context.bytesSent, 65535u);
    EXPECT_EQ(link.progress.sent, std::vector<uint32_t>{65535});
}

TEST(PosixFrames, ReceiveFrameNaksACorruptPayloadAndTakesTheRetry) {
    FrameLink link;
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    Bytes corrupt = digits;
    corrupt[0] = 'X';
    std::vector<Bytes> answers;
    std::thread box([&] {
        for (const Bytes* payload : {static_cast<const Bytes*>(&corrupt), &digits}) {
            link.pty.send(headerFor(digits));
            answers.push_back(link.pty.receive(1, 3000));
            link.pty.send(*payload);
            answers.push_back(link.pty.receive(1, 3000));
        }
    });
    uint8_t buffer[131072];
    uint32_t capacity = sizeof buffer;
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 2000), LINK_OK);
    box.join();
    EXPECT_EQ(capacity, 9u);
    EXPECT_EQ(Bytes(buffer, buffer + 9), digits);
    EXPECT_EQ(answers, (std::vector<Bytes>{
                           {LINK_ACK_HEADER}, {LINK_NAK_CRC}, {LINK_ACK_HEADER}, {LINK_ACK_OK}}));
}

TEST(PosixFrames, ReceiveFrameOfAPartialPayloadWaitsItsTimeout) {
    FrameLink link;
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    std::thread box([&] {
        link.pty.send(headerFor(digits));
        link.pty.receive(1, 3000);
        link.pty.send(Bytes(digits.begin(), digits.end() - 1));
        link.pty.receive(1, 3000); // the NAK; then the box falls silent
    });
    uint8_t buffer[64];
    uint32_t capacity = sizeof buffer;
    // After the NAK the header wait is 100 s: cancel it from here once the NAK is out.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(900));
        link.port->cancel();
    });
    const auto start = Clock::now();
    EXPECT_EQ(receiveFrame(link.context, buffer, &capacity, 500), LINK_ERR_IO);
    const long waited = msSince(start);
    box.join();
    stopper.join();
    EXPECT_GE(waited, 500);
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(capacity, 64u);
}

// The link's own frame code on both ends of the pty, a payload corrupted on the line once
// in each direction: each side NAKs once and the retry gets through.
TEST(PosixFrames, LinkAgainstItselfThroughANoisyLine) {
    FrameLink server;
    test::MasterPort boxPort(server.pty);
    SystemPauser boxPauser;
    test::RecordingProgress boxProgress;
    LinkContext box{boxPort, boxPauser, boxProgress};
    box.imageSize = 1;

    Bytes request(300);
    Bytes block(4000);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i * 31 + 7);
        request[i % request.size()] = static_cast<uint8_t>(i);
    }
    server.context.imageSize = 8000;

    // The box's first request payload and the server's first block payload are both
    // damaged on the way.
    boxPort.corruptWrite = 2; // write 1 is the header, write 2 the payload
    boxPort.corruptRead = 2;  // read 1 is the block's header, read 2 its payload
    int boxSend = -1;
    int boxReceive = -1;
    Bytes boxGot(131072);
    uint32_t boxCapacity = static_cast<uint32_t>(boxGot.size());
    std::thread boxThread([&] {
        boxSend = sendFrame(box, request.data(), static_cast<uint32_t>(request.size()));
        boxReceive = receiveFrame(box, boxGot.data(), &boxCapacity, 5000);
    });

    const auto start = Clock::now();
    Bytes got(131072);
    uint32_t capacity = static_cast<uint32_t>(got.size());
    EXPECT_EQ(receiveFrame(server.context, got.data(), &capacity, 5000), LINK_OK);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + capacity), request);
    EXPECT_EQ(sendFrame(server.context, block.data(), static_cast<uint32_t>(block.size())),
              LINK_OK);
    boxThread.join();
    // Two attempts on each side, each with its 100 ms pause before the payload.
    EXPECT_GE(msSince(start), 400);
    EXPECT_EQ(boxSend, LINK_OK);
    EXPECT_EQ(boxReceive, LINK_OK);
    EXPECT_EQ(Bytes(boxGot.begin(), boxGot.begin() + boxCapacity), block);
    EXPECT_EQ(boxProgress.sent, std::vector<uint32_t>{300});
    EXPECT_EQ(server.context.bytesSent, 4000u);
    EXPECT_EQ(server.progress.sent, std::vector<uint32_t>{4000});
}

} // namespace
} // namespace kestrune
