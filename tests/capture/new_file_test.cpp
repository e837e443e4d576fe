// Files no other file has the name of: the Test Logs and captures of ports whose names map to
// one file name in one second.
#include "capture/new_file.h"
#include "capture/pcap_writer.h"
#include "capture/test_log.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune::capture {
namespace {

struct Folder {
    Folder() {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    // One folder per case: CTest runs the cases side by side.
    std::string path = ::testing::TempDir() + "kestrune-new-file-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

// Names already taken (by an earlier port, or a file left there) are passed over, never
// written; the first free name is created.
TEST(CreateNewFile, TakesTheFirstFreeName) {
    const struct {
        std::vector<std::string> taken;
        std::string expected;
    } rows[] = {
        {{}, "ttyUSB0-T.log"},
        {{"ttyUSB0-T.log"}, "ttyUSB0-T-2.log"},
        {{"ttyUSB0-T.log", "ttyUSB0-T-2.log"}, "ttyUSB0-T-3.log"},
        {{"ttyUSB0-T-2.log"}, "ttyUSB0-T.log"},
    };
    for (const auto& row : rows) {
        Folder folder;
        for (const std::string& name : row.taken) {
            std::ofstream(folder.path + "/" + name) << "kept";
        }
        std::string path;
        CrtError error{-1};
        FILE* file = createNewFile(folder.path + "/ttyUSB0-T", ".log", path, error);
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        EXPECT_EQ(error, CrtError{});
        EXPECT_EQ(path, folder.path + "/" + row.expected);
        for (const std::string& name : row.taken) {
            std::ifstream in(folder.path + "/" + name);
            std::string text;
            in >> text;
            EXPECT_EQ(text, "kept") << name;
        }
    }
}

TEST(CreateNewFile, AFolderThatIsNotThereSaysWhy) {
    std::string path;
    CrtError error;
    EXPECT_EQ(createNewFile(::testing::TempDir() + "no-such-folder/x", ".log", path, error),
              nullptr);
    EXPECT_EQ(error, CrtError{ENOENT});
}

// Two ports whose names become one file name (/dev/a_b and /dev/a/b) in one second: two Test
// Logs and two captures, each with its own download's text.
TEST(CreateNewFile, TwoPortsOfOneFileNameGetTwoFiles) {
    Folder folder;
    const std::string stem = folder.path + "/dev_a_b-20261207T202431Z";
    TestLogFile first;
    TestLogFile second;
    ASSERT_EQ(first.createNew(stem, ".log"), CrtError{});
    ASSERT_EQ(second.createNew(stem, ".log"), CrtError{});
    EXPECT_NE(first.path(), second.path());
    first.write("first");
    second.write("second");
    EXPECT_EQ(first.close(), CrtError{});
    EXPECT_EQ(second.close(), CrtError{});
    std::string text;
    std::ifstream(first.path()) >> text;
    EXPECT_EQ(text, "first");

    PcapWriter a;
    PcapWriter b;
    ASSERT_TRUE(a.openNew(stem, ".pcap"));
    ASSERT_TRUE(b.openNew(stem, ".pcap"));
    EXPECT_EQ(a.path(), stem + ".pcap");
    EXPECT_EQ(b.path(), stem + "-2.pcap");
}

} // namespace
} // namespace kestrune::capture
