// The record: what a line says of an attempt, and a file in which every line is whole or absent.

#include "station/record.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace kestrune::station {
namespace {

using nlohmann::json;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Natively each case runs in a process of its own, several at once, and every process draws
// the same rand(): the case's name keeps their files apart.
std::string testName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

struct TempFile {
    TempFile() {
        path = (std::filesystem::temp_directory_path() /
                ("kestrune-record-" + testName() + "-" + std::to_string(std::rand()) + ".jsonl"))
                   .string();
        std::filesystem::remove(path);
    }
    ~TempFile() { std::filesystem::remove(path); }
    std::string path;
};

TEST(RecordLine, SaysWhatWasKnownOfEachAttempt) {
    AttemptReport report;
    report.started =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1765139071380));
    report.ended = report.started + std::chrono::milliseconds(3960);
    const ImageFacts image{"C:\\images\\box \"a\".dl", 34863, "0de1"};
    const struct {
        Outcome outcome;
        bool woke;
        bool ran;
        int code;
        const char* reason;
        json expect; // fields and their values
    } rows[] = {
        {Outcome::Complete,
         true,
         true,
         0,
         "",
         {{"outcome", "complete"}, {"resultCode", 0}, {"reason", nullptr}, {"wakeupByte", 85}}},
        {Outcome::DownloadError,
         true,
         true,
         513,
         "a frame failed",
         {{"resultCode", 513}, {"reason", "a frame failed"}, {"moduleBytesDelivered", 4096}}},
        {Outcome::PortFailure,
         false,
         false,
         0,
         "gone",
         {{"wakeupByte", nullptr},
          {"downloadId", nullptr},
          {"moduleBytesDelivered", nullptr},
          {"framesResent", nullptr}}},
        // Cut short: the box had woken and received blocks, and the line says so.
        {Outcome::Aborted,
         true,
         false,
         0,
         "stopped",
         {{"resultCode", nullptr},
          {"wakeupByte", 85},
          {"moduleBytesDelivered", 4096},
          {"moduleBytes", 34768},
          {"downloadId", 3}}},
    };
    for (const auto& row : rows) {
        report.outcome = row.outcome;
        report.reason = row.reason;
        report.boxWoke = row.woke;
        report.sessionRan = row.ran;
        report.resultCode = row.code;
        report.wakeupKnown = row.woke;
        report.wakeupByte = 0x55;
        report.deliveredBytes = 4096;
        report.moduleBytes = 34768;
        report.downloadId = 3;
        report.blockSize = 1024;
        report.windowSize = report.ackPeriod = 4;
        AttemptPlace place{2, "ttyUSB0-1", 1};
        place.slot = "A1";
        place.device = "/dev/ttyUSB0";
        const std::string line = recordLine(report, "A1", image, "", "", place);
        ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
        const json parsed = json::parse(line, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << line;
        EXPECT_EQ(parsed["start"], "2025-12-07T20:24:31.380Z");
        EXPECT_EQ(parsed["image"], image.path);
        EXPECT_EQ(parsed["durationSeconds"], 3.96);
        EXPECT_EQ(parsed["attempt"], 2);
        EXPECT_EQ(parsed["boxSession"], "ttyUSB0-1");
        EXPECT_EQ(parsed["port"], "A1");
        EXPECT_EQ(parsed["slot"], "A1");
        EXPECT_EQ(parsed["device"], "/dev/ttyUSB0");
        for (const auto& [key, value] : row.expect.items()) {
            EXPECT_EQ(parsed[key], value) << key << " in " << line;
        }
    }
}

// Under a release every line names it, and the image the box got or none.
TEST(RecordLine, NamesTheReleaseAndTheImageItServed) {
    AttemptReport report;
    const ReleaseFacts signedRelease{"lot 4711", "c24d", "BA230982A59993CB"};
    const ReleaseFacts unsignedRelease{"lot 4711", "c24d", ""};
    const struct {
        ImageFacts image;
        const ReleaseFacts* release;
        json expect;
    } rows[] = {
        {{"a.dl", 10, "00", "4.7.11"},
         &signedRelease,
         {{"release", {{"name", "lot 4711"}, {"sha256", "c24d"}, {"keyId", "BA230982A59993CB"}}},
          {"image", "a.dl"},
          {"imageLabel", "4.7.11"},
          {"imageSize", 10}}},
        {{},
         &unsignedRelease,
         {{"release", {{"name", "lot 4711"}, {"sha256", "c24d"}, {"keyId", nullptr}}},
          {"image", nullptr},
          {"imageLabel", nullptr},
          {"imageSize", nullptr},
          {"imageSha256", nullptr}}},
        {{"a.dl", 10, "00"}, nullptr, {{"release", nullptr}, {"imageLabel", nullptr}}},
    };
    for (const auto& row : rows) {
        const json parsed =
            json::parse(recordLine(report, "/dev/pts/1", row.image, "", "", {}, row.release));
        for (const auto& [key, value] : row.expect.items()) {
            EXPECT_EQ(parsed[key], value) << key << " in " << parsed.dump();
        }
    }
}

TEST(RecordLine, IsUtf8WhateverThePathsBytes) {
    AttemptReport report;
    const struct {
        std::string path;
        const char* hex; // the path's bytes when they are not UTF-8
    } rows[] = {
        {"images/caf\xC3\xA9.dl", nullptr},                    // UTF-8: as it is
        {"images/caf\xE9.dl", "696d616765732f636166e92e646c"}, // Latin-1
        {std::string("a\x01\tb\n", 5), nullptr},               // control characters are escaped
        {"\xED\xA0\x80.dl", "eda0802e646c"},                   // an encoded surrogate is not UTF-8
    };
    for (const auto& row : rows) {
        const std::string line = recordLine(report, "/dev/pts/\xFF", {row.path, 1, "00"}, "", "");
        const json parsed = json::parse(line, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << line;
        if (row.hex == nullptr) {
            EXPECT_EQ(parsed["image"], row.path);
            EXPECT_FALSE(parsed.contains("imagePathHex"));
        } else {
            EXPECT_EQ(parsed["imagePathHex"], row.hex);
        }
    }
}

TEST(RecordFile, EndsATornTailSoTheNextLineStandsAlone) {
    const struct {
        std::string before;
        std::string after;
    } rows[] = {
        {"", "{\"n\":2}\n"},
        {"{\"n\":1}\n", "{\"n\":1}\n{\"n\":2}\n"},
        {"{\"n\":1}\n{\"to", "{\"n\":1}\n{\"to\n{\"n\":2}\n"},
    };
    for (const auto& row : rows) {
        TempFile file;
        if (!row.before.empty()) {
            std::ofstream(file.path, std::ios::binary) << row.before;
        }
        {
            RecordFile record;
            ASSERT_EQ(record.open(file.path), CrtError{});
            ASSERT_EQ(record.append("{\"n\":2}\n"), CrtError{});
        }
        EXPECT_EQ(readAll(file.path), row.after);
    }
}

#ifndef _WIN32
// logrotate renames the file, then the station reopens it: the lines before are in the renamed
// file, the lines after in the new one, none lost or torn. (Windows renames no open file.)
TEST(RecordFile, ReopenedAfterARenameWritesTheNewFile) {
    TempFile file;
    const std::string rotated = file.path + ".1";
    RecordFile record;
    ASSERT_EQ(record.open(file.path), CrtError{});
    ASSERT_EQ(record.append("{\"n\":1}\n"), CrtError{});
    std::rename(file.path.c_str(), rotated.c_str());
    ASSERT_EQ(record.append("{\"n\":2}\n"), CrtError{}); // still the renamed file
    ASSERT_EQ(record.reopen(file.path), CrtError{});
    ASSERT_EQ(record.append("{\"n\":3}\n"), CrtError{});
    EXPECT_EQ(readAll(rotated), "{\"n\":1}\n{\"n\":2}\n");
    EXPECT_EQ(readAll(file.path), "{\"n\":3}\n");
    std::remove(rotated.c_str());
    // A folder that cannot hold the record keeps the old file.
    EXPECT_NE(record.reopen(file.path + ".d/no/such/record.jsonl"), CrtError{});
    ASSERT_EQ(record.append("{\"n\":4}\n"), CrtError{});
    EXPECT_EQ(readAll(file.path), "{\"n\":3}\n{\"n\":4}\n");
}

// A file that may grow only so far is a file system that fills up: the line that does not fit
// is cut back off, and the error is the real one.
TEST(RecordFile, ALineThatDoesNotFitLeavesNothing) {
    TempFile file;
    RecordFile record;
    ASSERT_EQ(record.open(file.path), CrtError{});
    ASSERT_EQ(record.append("{\"n\":1}\n"), CrtError{});

    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 8 + 5; // room for 5 bytes of the next line: a short write
    setrlimit(RLIMIT_FSIZE, &small);
    const CrtError error = record.append("{\"n\":2,\"long\":\"line\"}\n");
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(error, CrtError{EFBIG});
    EXPECT_EQ(readAll(file.path), "{\"n\":1}\n");
    ASSERT_EQ(record.append("{\"n\":3}\n"), CrtError{});
    EXPECT_EQ(readAll(file.path), "{\"n\":1}\n{\"n\":3}\n");
}

#endif

// A full disk: Linux's /dev/full, which Wine's drive Z: shows to the Windows build.
#ifdef _WIN32
constexpr const char* FULL_DEVICE = "Z:\\dev\\full";
#else
constexpr const char* FULL_DEVICE = "/dev/full";
#endif

TEST(RecordFile, AFullDeviceSaysSo) {
    RecordFile record;
    ASSERT_EQ(record.open(FULL_DEVICE), CrtError{});
    const CrtError error = record.append("{}\n");
    EXPECT_EQ(error, CrtError{ENOSPC});
    EXPECT_EQ(systemErrorText(error), "No space left on device");
}

// A record that cannot be opened (here a folder: "Is a directory" on POSIX, "Permission denied"
// on Windows) is named in the C runtime's words of its errno, never taken for a Win32 code.
TEST(RecordFile, ACallThatFailsIsNamedInTheWordsOfItsErrno) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("kestrune-record-dir-" + std::to_string(std::rand()));
    std::filesystem::create_directories(folder);
    RecordFile record;
    const CrtError error = record.open(folder.string());
    std::filesystem::remove(folder);
    ASSERT_TRUE(error);
    EXPECT_EQ(systemErrorText(error), std::strerror(error.code));
}

} // namespace
} // namespace kestrune::station
