// The capture file as a reader meets it: the bytes on disk are parsed here independently of the
// writer (little-endian pcap, big-endian IPv4 and UDP), while the writer is still open.
#include "capture/pcap_writer.h"
#include "tests/support/allocation_counter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

namespace {

using kestrune::FrameDirection;
using kestrune::capture::PcapWriter;

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint16_t be16(const uint8_t* p) {
    return uint16_t(p[0] << 8 | p[1]);
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string tempPath(const char* name) {
    return ::testing::TempDir() + name;
}

// A message whose every byte tells where it came from.
std::vector<uint8_t> message(uint32_t length, uint8_t seed) {
    std::vector<uint8_t> m(length);
    for (uint32_t i = 0; i < length; ++i) {
        m[i] = uint8_t(i * 7 + seed + (i >> 8));
    }
    return m;
}

struct Frame {
    FrameDirection direction;
    uint32_t length;
    uint32_t captured;  // message bytes the record holds
    const char* source; // dotted address
    const char* destination;
};

// The largest IPv4 packet is 65535 bytes: 20 of IP header, 8 of UDP header, 65507 of message.
const Frame FRAMES[] = {
    {FrameDirection::FromBox, 42, 42, "10.0.0.2", "10.0.0.1"},   // a DownloadInfoRequest
    {FrameDirection::ToBox, 46, 46, "10.0.0.1", "10.0.0.2"},     // a one-module response
    {FrameDirection::ToBox, 1042, 1042, "10.0.0.1", "10.0.0.2"}, // a 1024-byte block
    {FrameDirection::FromBox, 0, 0, "10.0.0.2", "10.0.0.1"},
    {FrameDirection::ToBox, 65507, 65507, "10.0.0.1", "10.0.0.2"}, // the largest that fits
    {FrameDirection::ToBox, 65508, 65507, "10.0.0.1", "10.0.0.2"}, // one byte too many
    {FrameDirection::ToBox, 65535, 65507, "10.0.0.1", "10.0.0.2"}, // blockSize 65517
};

std::string dotted(const uint8_t* p) {
    return std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
           std::to_string(p[3]);
}

TEST(PcapWriter, EveryFrameIsOneConsistentUdpRecordOnDiskAtOnce) {
    const std::string path = tempPath("pcap_writer_frames.pcap");
    PcapWriter writer;
    ASSERT_TRUE(writer.open(path));
    ASSERT_TRUE(writer.isOpen());

    std::vector<std::vector<uint8_t>> sent;
    const int64_t before = nowMicros();
    for (const Frame& f : FRAMES) {
        sent.push_back(message(f.length, uint8_t(sent.size())));
        writer.onFrame(f.direction, sent.back().data(), f.length);
    }
    const int64_t after = nowMicros();

    // Read before close: every record must already be in the file.
    const std::vector<uint8_t> file = readFile(path);
    ASSERT_GE(file.size(), 24u);
    const uint8_t* g = file.data();
    EXPECT_EQ(le32(g), 0xA1B2C3D4u);
    EXPECT_EQ(le16(g + 4), 2);
    EXPECT_EQ(le16(g + 6), 4);
    EXPECT_GE(le32(g + 16), 65535u); // snaplen
    EXPECT_EQ(le32(g + 20), 101u);   // raw IP

    size_t at = 24;
    int64_t previous = before;
    for (size_t i = 0; i < std::size(FRAMES); ++i) {
        const Frame& f = FRAMES[i];
        SCOPED_TRACE("frame " + std::to_string(i) + ", " + std::to_string(f.length) + " bytes");
        ASSERT_LE(at + 16, file.size());
        const uint8_t* r = file.data() + at;
        const int64_t stamp = int64_t(le32(r)) * 1000000 + le32(r + 4);
        EXPECT_LT(le32(r + 4), 1000000u);
        EXPECT_GE(stamp, previous);
        EXPECT_LE(stamp, after);
        previous = stamp;
        const uint32_t included = le32(r + 8);
        EXPECT_EQ(included, 28 + f.captured);
        EXPECT_EQ(le32(r + 12), 28 + f.length); // the length on the wire, even when cut
        ASSERT_LE(at + 16 + included, file.size());

        const uint8_t* ip = r + 16;
        EXPECT_EQ(ip[0], 0x45);
        EXPECT_EQ(be16(ip + 2), included);
        EXPECT_EQ(be16(ip + 6) & 0x3FFF, 0); // not a fragment
        EXPECT_EQ(ip[9], 17);
        uint32_t sum = 0;
        for (int k = 0; k < 20; k += 2) {
            sum += be16(ip + k);
        }
        sum = (sum & 0xFFFF) + (sum >> 16);
        EXPECT_EQ(sum, 0xFFFFu) << "IPv4 header checksum";
        EXPECT_EQ(dotted(ip + 12), f.source);
        EXPECT_EQ(dotted(ip + 16), f.destination);

        const uint8_t* udp = ip + 20;
        EXPECT_EQ(be16(udp), 13819);
        EXPECT_EQ(be16(udp + 2), 13819);
        EXPECT_EQ(be16(udp + 4), 8 + f.captured);
        EXPECT_EQ(be16(udp + 6), 0);
        EXPECT_TRUE(std::equal(udp + 8, udp + 8 + f.captured, sent[i].begin()));
        at += 16 + included;
    }
    EXPECT_EQ(at, file.size());
    writer.close();
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(readFile(path).size(), file.size());
}

TEST(PcapWriter, RecordingAFrameAllocatesNothing) {
    PcapWriter writer;
    ASSERT_TRUE(writer.open(tempPath("pcap_writer_alloc.pcap")));
    const std::vector<uint8_t> m = message(65535, 3);
    kestrune::test::countAllocations(true);
    writer.onFrame(FrameDirection::ToBox, m.data(), 65535);
    writer.onFrame(FrameDirection::FromBox, m.data(), 42);
    kestrune::test::countAllocations(false);
    EXPECT_EQ(kestrune::test::allocationsCounted(), 0);
}

TEST(PcapWriter, OpenReplacesAnOldFileAndStartsAfresh) {
    const std::string path = tempPath("pcap_writer_again.pcap");
    {
        std::ofstream old(path, std::ios::binary);
        old << std::string(5000, 'x');
    }
    PcapWriter writer;
    ASSERT_TRUE(writer.open(path));
    const std::vector<uint8_t> m = message(30, 0);
    writer.onFrame(FrameDirection::ToBox, m.data(), 30);
    ASSERT_TRUE(writer.open(path)); // a second download on the same writer
    writer.onFrame(FrameDirection::FromBox, m.data(), 30);
    writer.close();
    const std::vector<uint8_t> file = readFile(path);
    ASSERT_EQ(file.size(), 24u + 16 + 28 + 30);
    EXPECT_EQ(file[24 + 16 + 12 + 3], 2) << "from the box";
}

TEST(PcapWriter, AFileThatCannotBeCreatedIsRefusedWithItsReason) {
    PcapWriter writer;
    EXPECT_FALSE(writer.open(tempPath("no-such-folder/x.pcap")));
    EXPECT_EQ(writer.writeError(), kestrune::CrtError{ENOENT});
    EXPECT_FALSE(writer.isOpen());
    const uint8_t m[4] = {};
    writer.onFrame(FrameDirection::ToBox, m, 4); // ignored, not a crash
}

} // namespace
