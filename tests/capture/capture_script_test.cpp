// The box simulator's reading of a capture (kestrune-boxsim --replay): the file the download
// capture writes becomes the box's requests in order, each with the server's answers.
#include "capture/pcap_writer.h"
#include "tools/boxsim/capture_script.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

namespace {

using kestrune::FrameDirection;
using Bytes = std::vector<uint8_t>;

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A message of `length` bytes whose first byte says which it is.
Bytes scriptMessage(uint32_t length, uint8_t tag) {
    Bytes m(length, 0xA5);
    m[0] = tag;
    return m;
}

// The writer's file for these frames ('b' from the box, 's' from the server, `length` bytes).
Bytes capture(const std::string& directions, uint32_t length = 20) {
    // Named by the case: CTest runs the cases side by side, each in a process of its own.
    const std::string path = ::testing::TempDir() + "capture_script_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             ".pcap";
    kestrune::capture::PcapWriter writer;
    EXPECT_TRUE(writer.open(path));
    for (size_t i = 0; i < directions.size(); ++i) {
        const Bytes m = scriptMessage(directions[i] == 'b' ? 20 : length, uint8_t(i));
        writer.onFrame(directions[i] == 'b' ? FrameDirection::FromBox : FrameDirection::ToBox,
                       m.data(), uint32_t(m.size()));
    }
    writer.close();
    return readAll(path);
}

TEST(CaptureScript, RequestsInOrderEachWithTheAnswersThatFollowedIt) {
    const Bytes file = capture("bsbssbb");
    boxsim::ReplayScript script;
    std::string error;
    ASSERT_TRUE(boxsim::parseCapture(file.data(), file.size(), script, error)) << error;
    ASSERT_EQ(script.steps.size(), 4u);
    const size_t answers[] = {1, 2, 0, 0};
    const uint8_t firstAnswer[] = {1, 3};
    for (size_t i = 0; i < script.steps.size(); ++i) {
        EXPECT_EQ(script.steps[i].answers.size(), answers[i]) << "step " << i;
        EXPECT_EQ(script.steps[i].request.size(), 20u);
        if (i < 2) {
            EXPECT_EQ(script.steps[i].answers[0].bytes[0], firstAnswer[i]);
            EXPECT_FALSE(script.steps[i].answers[0].cut());
        }
    }
    EXPECT_EQ(script.steps[3].request[0], 6);
}

TEST(CaptureScript, AMessageTooLargeForUdpKeepsItsTrueLength) {
    const Bytes file = capture("bs", 65535);
    boxsim::ReplayScript script;
    std::string error;
    ASSERT_TRUE(boxsim::parseCapture(file.data(), file.size(), script, error)) << error;
    const boxsim::CapturedMessage& block = script.steps[0].answers.at(0);
    EXPECT_TRUE(block.cut());
    EXPECT_EQ(block.fullLength, 65535u);
    EXPECT_EQ(block.bytes.size(), 65507u);
}

TEST(CaptureScript, ARecordLargerThanADatagramIsReadPast) {
    const Bytes good = capture("bsbs");
    Bytes file(good.begin(), good.begin() + 24);
    // 100,000 bytes of something else first: no IPv4 datagram is that large.
    const uint8_t header[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0x86, 0x01, 0, 0xA0, 0x86, 0x01, 0};
    file.insert(file.end(), header, header + 16);
    file.resize(file.size() + 100000, 0x45);
    file.insert(file.end(), good.begin() + 24, good.end());
    boxsim::ReplayScript script;
    std::string error;
    ASSERT_TRUE(boxsim::parseCapture(file.data(), file.size(), script, error)) << error;
    EXPECT_EQ(script.steps.size(), 2u);
}

TEST(CaptureScript, BigEndianFilesReadAsWell) {
    Bytes file = capture("bs");
    // Every 32-bit field of the file header and the record headers, swapped.
    auto swap32 = [&](size_t at) {
        std::swap(file[at], file[at + 3]), std::swap(file[at + 1], file[at + 2]);
    };
    auto swap16 = [&](size_t at) { std::swap(file[at], file[at + 1]); };
    swap32(0), swap16(4), swap16(6), swap32(8), swap32(12), swap32(16), swap32(20);
    for (size_t at = 24; at < file.size(); at += 16 + 48) {
        swap32(at), swap32(at + 4), swap32(at + 8), swap32(at + 12);
    }
    boxsim::ReplayScript script;
    std::string error;
    ASSERT_TRUE(boxsim::parseCapture(file.data(), file.size(), script, error)) << error;
    EXPECT_EQ(script.steps.size(), 1u);
    EXPECT_EQ(script.steps[0].answers.size(), 1u);
}

TEST(CaptureScript, WhatIsNotADownloadOfABoxIsRefusedWithItsReason) {
    const Bytes good = capture("bsbs");
    struct Case {
        const char* name;
        Bytes file;
        const char* says;
    };
    Bytes pcapng = good;
    pcapng[0] = 0x0A, pcapng[1] = 0x0D, pcapng[2] = 0x0D, pcapng[3] = 0x0A;
    Bytes ethernet = good;
    ethernet[20] = 1;
    // A record that says it holds 4 GB: read as a stream, the capture ends before it does
    // (and nothing of that size is ever allocated).
    Bytes huge = good;
    const uint8_t hugeHeader[16] = {0,    0,    0,    0,    0,    0,    0,    0,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    huge.insert(huge.end(), hugeHeader, hugeHeader + 16);
    huge.resize(huge.size() + 100000, 0);
    const Case cases[] = {
        {"empty", {}, "not a pcap capture (0 bytes)"},
        {"pcapng", pcapng, "pcapng"},
        {"ethernet", ethernet, "link type 1"},
        {"server first", capture("sbs"), "the server speaks before the box has asked"},
        {"torn record", Bytes(good.begin(), good.end() - 5), "record 4 is cut short"},
        {"torn record header", Bytes(good.begin(), good.begin() + 30), "record 1 is cut short"},
        {"no request", Bytes(good.begin(), good.begin() + 24), "no request of a box"},
        {"a record of 4 GB", huge, "record 5 is cut short"},
    };
    for (const Case& c : cases) {
        boxsim::ReplayScript script;
        std::string error;
        EXPECT_FALSE(boxsim::parseCapture(c.file.data(), c.file.size(), script, error)) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
    }
}

} // namespace
