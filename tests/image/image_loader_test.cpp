#include "dsmcc/codec.h"
#include "image/image_loader.h"
#include "tests/support/test_files.h"
#include "tools/mkimage/image_writer.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace kestrune;
using kestrune::mkimage::buildImage;
using kestrune::mkimage::ImageSpec;
using kestrune::mkimage::ModuleSpec;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes SEVEN_BYTES = {0, 0, 0, 0, 0, 0, 0};
const Bytes TWENTY_BYTES = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00,
                            0x00, 0x00, 0x03, 0x01, 0x02, 0x01, 0x00, 0x61, 0x62, 0x63};

Bytes build(const ImageSpec& plan) {
    Bytes out;
    std::string error;
    EXPECT_TRUE(buildImage(plan, out, error)) << error;
    return out;
}

// Three modules with skipped blocks of every kind and a module of size 0.
ImageSpec threeModules() {
    ImageSpec plan;
    plan.block1 = Bytes(200, 0xB1);
    plan.block2 = Bytes(300, 0xB2); // a length whose high byte is not 0
    plan.block3 = Bytes(5, 0xB3);
    plan.modules.push_back({10, 1, 0x81, {0x00, 0x0A}, mkimage::patternData(1000, 1)});
    plan.modules.push_back({11, 2, 0x0A, {}, {}});
    plan.modules.push_back({12, 3, 0x7F, Bytes(253, 0x5A), mkimage::patternData(77, 3)});
    return plan;
}

// Walks `bytes` from a heap copy of exactly their size, so that the sanitizer sees any read
// past the end.
bool walkExact(DownloadInfoResponse& record, const Bytes& bytes,
               std::unique_ptr<uint8_t[]>* keep = nullptr) {
    auto copy = std::make_unique<uint8_t[]>(bytes.size() + (bytes.empty() ? 1 : 0));
    if (!bytes.empty()) {
        std::memcpy(copy.get(), bytes.data(), bytes.size());
    }
    const bool ok = walkImage(record, copy.get(), static_cast<uint32_t>(bytes.size()));
    if (keep != nullptr) {
        *keep = std::move(copy);
    }
    return ok;
}

Bytes withModuleCount(uint16_t count, uint16_t entries) {
    Bytes bytes = {0, 0, 0, 0, 0, uint8_t(count >> 8), uint8_t(count)};
    for (uint16_t i = 0; i < entries; ++i) {
        const Bytes entry = {0, uint8_t(i), 0, 0, 0, 1, 0, 2, 0x01, 0x00, 0xEE};
        bytes.insert(bytes.end(), entry.begin(), entry.end());
    }
    return bytes;
}

} // namespace

TEST(ImageLoader, SevenByteFileHasNoModules) {
    TestFolder folder;
    DownloadInfoResponse record{};
    record.numberOfModules = 9;
    DownloadImage image;
    ASSERT_TRUE(loadImage(record, folder.write("seven.dl", SEVEN_BYTES).c_str(), image));
    EXPECT_TRUE(image.isLoaded());
    EXPECT_EQ(image.size(), 7u);
    EXPECT_EQ(record.numberOfModules, 0);
}

TEST(ImageLoader, TwentyByteFileHasOneModuleWithDataAtOffset17) {
    TestFolder folder;
    DownloadInfoResponse record{};
    DownloadImage image;
    ASSERT_TRUE(loadImage(record, folder.write("twenty.dl", TWENTY_BYTES).c_str(), image));
    ASSERT_EQ(record.numberOfModules, 1);
    const ModuleEntry& row = record.modules[0];
    EXPECT_EQ(row.moduleId, 1);
    EXPECT_EQ(row.moduleSize, 3u);
    EXPECT_EQ(row.moduleVersion, 1);
    EXPECT_EQ(row.moduleInfoLength, 2);
    EXPECT_EQ(row.moduleInfo[0], 0x01);
    EXPECT_EQ(row.moduleInfo[1], 0x00);
    EXPECT_EQ(row.moduleData, image.data() + 17);
    EXPECT_EQ(0, std::memcmp(row.moduleData, "abc", 3));
    // The loader writes nothing else.
    EXPECT_EQ(record.header.messageId, 0);
    EXPECT_EQ(record.privateDataLength, 0);
}

TEST(ImageLoader, BlockLengthsAreLittleEndian) {
    // Block 2's length bytes 03 00 skip three bytes, not 768.
    Bytes bytes = {0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,
                   0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x01, 0x00, 0x61, 0x62, 0x63};
    DownloadInfoResponse record{};
    std::unique_ptr<uint8_t[]> copy;
    ASSERT_TRUE(walkExact(record, bytes, &copy));
    ASSERT_EQ(record.numberOfModules, 1);
    EXPECT_EQ(record.modules[0].moduleData, copy.get() + 20);

    // Block 3 with a length of 0x0102 = 258 bytes (least significant byte first).
    ImageSpec plan;
    plan.block3 = Bytes(258, 0xCD);
    plan.modules.push_back({5, 0, 0x81, {1, 2, 3}, Bytes(4, 0x44)});
    const Bytes built = build(plan);
    EXPECT_EQ(built[3], 0x02);
    EXPECT_EQ(built[4], 0x01);
    ASSERT_TRUE(walkExact(record, built, &copy));
    EXPECT_EQ(record.modules[0].moduleId, 5);
    EXPECT_EQ(record.modules[0].moduleData, copy.get() + built.size() - 4);
}

TEST(ImageLoader, WalksEntriesBackToBack) {
    const ImageSpec plan = threeModules();
    Bytes bytes = build(plan);
    bytes.insert(bytes.end(), {0xFF, 0xFF, 0xFF}); // after the last module: ignored
    DownloadInfoResponse record{};
    std::unique_ptr<uint8_t[]> copy;
    ASSERT_TRUE(walkExact(record, bytes, &copy));
    ASSERT_EQ(record.numberOfModules, 3);
    size_t p = 1 + 200 + 2 + 300 + 2 + 5 + 2;
    for (int i = 0; i < 3; ++i) {
        const ModuleSpec& module = plan.modules[i];
        const ModuleEntry& row = record.modules[i];
        EXPECT_EQ(row.moduleId, module.moduleId);
        EXPECT_EQ(row.moduleSize, module.data.size());
        EXPECT_EQ(row.moduleVersion, module.moduleVersion);
        ASSERT_EQ(row.moduleInfoLength, module.infoBytes.size() + 2);
        EXPECT_EQ(row.moduleInfo[0], module.infoTag);
        EXPECT_EQ(row.moduleInfo[1], module.infoBytes.size());
        EXPECT_TRUE(
            std::equal(module.infoBytes.begin(), module.infoBytes.end(), row.moduleInfo + 2));
        p += 8 + row.moduleInfoLength;
        EXPECT_EQ(row.moduleData, copy.get() + p) << "module " << i;
        EXPECT_TRUE(std::equal(module.data.begin(), module.data.end(), row.moduleData));
        p += row.moduleSize;
    }
    // A module of size 0: the next entry starts right after its moduleInfo.
    EXPECT_EQ(record.modules[2].moduleData,
              record.modules[1].moduleData + 8 + record.modules[2].moduleInfoLength);
}

TEST(ImageLoader, ModuleInfoMustBeExactlyOneDescriptor) {
    auto withInfo = [](Bytes info) {
        Bytes bytes = {0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, uint8_t(info.size())};
        for (uint8_t byte : info) { // (insert trips GCC 12's -Warray-bounds at -O2)
            bytes.push_back(byte);
        }
        return bytes;
    };
    DownloadInfoResponse record{};
    EXPECT_TRUE(walkExact(record, withInfo({0x0A, 0x03, 1, 2, 3})));
    EXPECT_EQ(record.modules[0].moduleInfoLength, 5);
    EXPECT_FALSE(walkExact(record, withInfo({0x0A, 0x02, 1, 2, 3})));
    EXPECT_FALSE(walkExact(record, withInfo({0x0A, 0x04, 1, 2, 3})));
    EXPECT_FALSE(walkExact(record, withInfo({})));     // moduleInfoLength 0
    EXPECT_FALSE(walkExact(record, withInfo({0x0A}))); // moduleInfoLength 1
    EXPECT_TRUE(walkExact(record, withInfo({0x0A, 0x00})));
}

TEST(ImageLoader, RefusesMoreThanFiftyModules) {
    DownloadInfoResponse record{};
    EXPECT_TRUE(walkExact(record, withModuleCount(50, 50)));
    EXPECT_EQ(record.numberOfModules, 50);
    EXPECT_EQ(record.modules[49].moduleId, 49);

    // 51 complete entries: refused before any row is written, so row 49 keeps the old load.
    record.modules[49].moduleId = 0x4949;
    EXPECT_FALSE(walkExact(record, withModuleCount(51, 51)));
    EXPECT_EQ(record.numberOfModules, 0);
    EXPECT_EQ(record.modules[49].moduleId, 0x4949);
    EXPECT_FALSE(walkExact(record, withModuleCount(0xFFFF, 2)));
}

TEST(ImageLoader, RefusesEveryTruncation) {
    const Bytes full = build(threeModules());
    DownloadInfoResponse record{};
    ASSERT_TRUE(walkExact(record, full));
    for (size_t length = 0; length < full.size(); ++length) {
        DownloadInfoResponse partial{};
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(walkExact(partial, cut)) << "length " << length;
        EXPECT_EQ(partial.numberOfModules, 0) << "length " << length;
        for (const ModuleEntry& row : partial.modules) {
            ASSERT_EQ(row.moduleData, nullptr) << "length " << length;
        }
    }
    // The same through real files, on a sample of lengths (each load maps a file).
    TestFolder folder;
    DownloadImage image;
    for (size_t length : {size_t{0}, size_t{1}, size_t{202}, size_t{520}, full.size() - 1}) {
        const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(loadImage(record, folder.write("cut.dl", cut).c_str(), image))
            << "length " << length;
    }
    EXPECT_FALSE(image.isLoaded());
}

TEST(ImageLoader, RefusesLengthsThatRunPastTheEnd) {
    DownloadInfoResponse record{};
    // A module size that would wrap a 32-bit position.
    Bytes bytes = {0, 0, 0, 0, 0, 0, 1, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 2, 1, 0, 0x61};
    EXPECT_FALSE(walkExact(record, bytes));
    // Skipped blocks longer than the file.
    EXPECT_FALSE(walkExact(record, {0xFF, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(walkExact(record, {0x00, 0xFF, 0xFF, 0, 0, 0, 0}));
    EXPECT_FALSE(walkExact(record, {0x00, 0x00, 0x00, 0x10, 0x00, 0, 0}));
    EXPECT_FALSE(walkExact(record, {}));
}

TEST(ImageLoader, FailedWalkLeavesNoReferenceIntoTheFile) {
    DownloadInfoResponse record{};
    // Module 0 is fine, module 1 has a bad descriptor.
    Bytes bytes = withModuleCount(2, 2);
    bytes[7 + 11 + 9] = 0x05;
    EXPECT_FALSE(walkExact(record, bytes));
    EXPECT_EQ(record.numberOfModules, 0);
    EXPECT_EQ(record.modules[0].moduleId, 0); // the rows walked stay written...
    EXPECT_EQ(record.modules[1].moduleId, 1);
    EXPECT_EQ(record.modules[0].moduleData, nullptr); // ...but point nowhere
    EXPECT_EQ(record.modules[1].moduleData, nullptr);
}

// How much of a file its module table describes, and when that is too little to be an image.
TEST(ImageCoverage, CountsUpToTheEndOfTheLastModule) {
    const Bytes three = build(threeModules());
    const auto plus = [](Bytes bytes, size_t trailing) {
        bytes.resize(bytes.size() + trailing, 0xEE);
        return bytes;
    };
    // An executable whose first byte (0x7F) reads as a block of 127 bytes, then zero lengths
    // and no modules: 134 bytes described.
    Bytes elf = {0x7F, 'E', 'L', 'F', 2, 1, 1};
    elf.resize(4096, 0);
    const struct {
        const char* what;
        Bytes bytes;
        bool walkable;
        uint32_t described;
        bool mostlyUndescribed;
    } rows[] = {
        {"exact image", three, true, uint32_t(three.size()), false},
        {"a few trailing bytes", plus(three, 100), true, uint32_t(three.size()), false},
        {"trailing bytes more than the image", plus(three, three.size() + 1), true,
         uint32_t(three.size()), true},
        {"no modules", SEVEN_BYTES, true, 7, false},
        {"no modules, half trailing", plus(SEVEN_BYTES, 7), true, 7, false},
        {"no modules, more than half trailing", plus(SEVEN_BYTES, 8), true, 7, true},
        {"an executable", elf, true, 134, true},
        {"refused", withModuleCount(51, 51), false, 0, false},
    };
    for (const auto& row : rows) {
        const ImageCoverage coverage =
            imageCoverage(row.bytes.data(), static_cast<uint32_t>(row.bytes.size()));
        EXPECT_EQ(coverage.walkable, row.walkable) << row.what;
        EXPECT_EQ(coverage.describedBytes, row.described) << row.what;
        EXPECT_EQ(coverage.fileBytes, row.bytes.size()) << row.what;
        EXPECT_EQ(mostlyUndescribed(coverage), row.mostlyUndescribed) << row.what;
    }
}

TEST(ImageLoader, MissingAndEmptyFilesFail) {
    TestFolder folder;
    DownloadInfoResponse record{};
    DownloadImage image;
    LoadStatus status;
    EXPECT_FALSE(loadImage(record, folder.file("absent.dl").c_str(), image, &status));
    EXPECT_EQ(status.error, LoadError::Open);
    EXPECT_NE(status.systemError, 0);
    EXPECT_FALSE(describeSystemError(status.systemError).empty());

    EXPECT_FALSE(loadImage(record, folder.write("empty.dl", {}).c_str(), image, &status));
    EXPECT_EQ(status.error, LoadError::Empty);

    EXPECT_FALSE(loadImage(record, folder.write("cut.dl", {0, 0, 0}).c_str(), image, &status));
    EXPECT_EQ(status.error, LoadError::Format);
    EXPECT_FALSE(loadImage(record, "", image, &status));
    EXPECT_FALSE(loadImage(record, folder.file("").c_str(), image, &status)); // a folder
    EXPECT_EQ(status.error, LoadError::Open);
    EXPECT_FALSE(image.isLoaded());
}

TEST(ImageLoader, FailedLoadKeepsThePreviousMappingAlive) {
    TestFolder folder;
    DownloadInfoResponse record{};
    DownloadImage image;
    const Bytes good = build(threeModules());
    ASSERT_TRUE(loadImage(record, folder.write("good.dl", good).c_str(), image));
    const uint8_t* mapping = image.data();
    const uint8_t* third = record.modules[2].moduleData;

    // A file whose first module is refused: row 2 still points into the old mapping, which
    // must stay readable.
    Bytes bad = withModuleCount(1, 1);
    bad[7 + 9] = 0x07;
    EXPECT_FALSE(loadImage(record, folder.write("bad.dl", bad).c_str(), image));
    EXPECT_TRUE(image.isLoaded());
    EXPECT_EQ(image.data(), mapping);
    EXPECT_EQ(record.numberOfModules, 0);
    EXPECT_EQ(record.modules[2].moduleData, third);
    EXPECT_EQ(third[0], good[good.size() - 77]);

    // A successful load replaces it; unused rows point nowhere.
    ASSERT_TRUE(loadImage(record, folder.write("twenty.dl", TWENTY_BYTES).c_str(), image));
    EXPECT_EQ(image.size(), 20u);
    EXPECT_EQ(record.modules[0].moduleData, image.data() + 17);
    EXPECT_EQ(record.modules[2].moduleData, nullptr);
}

TEST(ImageLoader, LoadedFileIsSharedForReadingOnly) {
    TestFolder folder;
    DownloadInfoResponse record{};
    DownloadImage image;
    const std::string path = folder.write("twenty.dl", TWENTY_BYTES);
    ASSERT_TRUE(loadImage(record, path.c_str(), image));
    // Another reader may open it too.
    DownloadImage second;
    DownloadInfoResponse other{};
    EXPECT_TRUE(loadImage(other, path.c_str(), second));
#ifdef _WIN32
    // No one may write it while it is loaded.
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }
#endif
    second.release();
    image.release();
    EXPECT_FALSE(image.isLoaded());
}

#ifndef _WIN32
// A loaded image is a snapshot: whatever happens to the file afterwards, the rows keep the
// bytes that were loaded and reading them never faults (a truncated shared mapping would
// raise SIGBUS).
TEST(ImageLoader, LoadedImageIgnoresLaterChangesToTheFile) {
    const std::vector<uint8_t> original = build(threeModules());
    const struct {
        const char* what;
        void (*change)(const std::string& path);
    } rows[] = {
        {"truncated to nothing",
         [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 0), 0); }},
        {"rewritten in place",
         [](const std::string& path) {
             std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
             const std::vector<char> junk(4096, 0x5A);
             f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
         }},
        {"replaced and removed", [](const std::string& path) { std::filesystem::remove(path); }},
    };
    for (const auto& row : rows) {
        TestFolder folder;
        const std::string path = folder.write("image.dl", original);
        DownloadInfoResponse record{};
        DownloadImage image;
        ASSERT_TRUE(loadImage(record, path.c_str(), image)) << row.what;
        row.change(path);
        EXPECT_EQ(std::vector<uint8_t>(image.data(), image.data() + image.size()), original)
            << row.what;
        const ModuleEntry& last = record.modules[record.numberOfModules - 1];
        EXPECT_EQ(last.moduleData[last.moduleSize - 1], original[original.size() - 1]) << row.what;
    }
}

// A sparse image is copied without filling its holes.
TEST(ImageLoader, SparseImageStaysCheap) {
    TestFolder folder;
    std::vector<uint8_t> head = build(threeModules());
    const std::string path = folder.write("sparse.dl", head);
    ASSERT_EQ(truncate(path.c_str(), 256L << 20), 0);
    DownloadInfoResponse record{};
    DownloadImage image;
    ASSERT_TRUE(loadImage(record, path.c_str(), image));
    EXPECT_EQ(image.size(), 256u << 20);
    EXPECT_EQ(std::vector<uint8_t>(image.data(), image.data() + head.size()), head);
    EXPECT_EQ(image.data()[image.size() - 1], 0);
}

namespace {

// Where the private copy of a loaded image lives: the file behind its mapping, as
// /proc/self/maps names it ("FOLDER/#12 (deleted)", "/memfd:kestrune-image (deleted)").
std::string copyBehind(const uint8_t* view) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (std::stoull(line.substr(0, line.find('-')), nullptr, 16) ==
            reinterpret_cast<uintptr_t>(view)) {
            const size_t slash = line.find('/');
            return slash == std::string::npos ? "" : line.substr(slash);
        }
    }
    return "";
}

enum class Folder { Writable, Missing, ReadOnly, Tiny };
const char* const FOLDER_NAMES[] = {"writable", "missing", "read-only", "tiny"};

// The folder made as the row asks. Read-only is a read-only bind mount for root (whom file
// modes do not stop) and mode 0555 otherwise; a tiny tmpfs needs root. False: not possible here.
bool prepare(const std::filesystem::path& folder, Folder kind, uintmax_t tinyBytes) {
    if (kind == Folder::Missing) {
        return true;
    }
    std::filesystem::create_directories(folder);
    if (kind == Folder::Writable) {
        return true;
    }
    if (geteuid() != 0) {
        return kind == Folder::ReadOnly && chmod(folder.c_str(), 0555) == 0;
    }
    const char* where = folder.c_str();
    if (kind == Folder::Tiny) {
        const std::string size = "size=" + std::to_string(tinyBytes);
        return mount("tmpfs", where, "tmpfs", 0, size.c_str()) == 0;
    }
    return mount(where, where, nullptr, MS_BIND, nullptr) == 0 &&
           mount(nullptr, where, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

// Loads a good image from `images` with $TMPDIR at `tmp`, in a child process (so that its
// mounts, environment and limits die with it), and says where its copy went: "beside the
// image", "temporary folder", "memory", "no place: THE PLACES TRIED" or "skip: WHY".
// `sizeLimit` caps the size of any file written, so that every place fails.
std::string loadWith(const std::filesystem::path& images, Folder imageFolder,
                     const std::filesystem::path& tmp, Folder tmpFolder, bool sizeLimit) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return "pipe";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        const auto answer = [&](const std::string& text) {
            (void)!write(pipeEnds[1], text.data(), text.size());
            _exit(0);
        };
        if (geteuid() == 0 && (unshare(CLONE_NEWNS) != 0 ||
                               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
            answer("skip: no mount namespace");
        }
        // 256 KiB of data: a tiny TMPDIR (64 KiB) cannot hold it, nor can a tiny image folder
        // (384 KiB) hold it twice.
        ImageSpec plan;
        plan.modules.push_back({1, 1, 0x81, {}, mkimage::patternData(1 << 18, 1)});
        const Bytes bytes = build(plan);
        const bool imageTiny = imageFolder == Folder::Tiny;
        if (!prepare(images, imageTiny ? Folder::Tiny : Folder::Writable, 3u << 17)) {
            answer("skip: a tiny tmpfs needs root");
        }
        const std::string path = (images / "image.dl").string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        if (!imageTiny && !prepare(images, imageFolder, 0)) {
            answer("skip: cannot make the image's folder read-only");
        }
        if (!prepare(tmp, tmpFolder, 64u << 10)) {
            answer("skip: a tiny tmpfs needs root");
        }
        setenv("TMPDIR", tmp.c_str(), 1);
        if (sizeLimit) {
            const rlimit limit{1024, RLIM_INFINITY};
            std::signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        DownloadInfoResponse record{};
        DownloadImage image;
        LoadStatus status;
        if (!loadImage(record, path.c_str(), image, &status)) {
            std::string places = status.error == LoadError::Snapshot ? "no place:" : "refused:";
            for (const SnapshotAttempt& attempt : status.snapshotAttempts) {
                places += attempt.folder == images.string() ? " image's folder"
                          : attempt.folder == tmp.string()  ? " TMPDIR"
                          : attempt.folder.empty()          ? " memory"
                                                            : " " + attempt.folder;
                places += attempt.systemError == EFBIG ? "" : " (not EFBIG)";
            }
            answer(places);
        }
        if (std::memcmp(image.data(), bytes.data(), bytes.size()) != 0) {
            answer("wrong bytes");
        }
        const std::string copy = copyBehind(image.data());
        answer(copy.rfind(images.string() + "/", 0) == 0 ? "beside the image"
               : copy.rfind(tmp.string() + "/", 0) == 0  ? "temporary folder"
               : copy.rfind("/memfd:", 0) == 0           ? "memory"
                                                         : "elsewhere: " + copy);
    }
    close(pipeEnds[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeEnds[0]);
    waitpid(child, nullptr, 0);
    chmod(images.c_str(), 0755); // (mode 0555 rows) so that the folder can be removed
    chmod(tmp.c_str(), 0755);
    return text;
}

} // namespace

// A good image loads whenever it can be read: its private copy goes beside it, else into
// $TMPDIR, else into memory, whatever state those folders are in; only when all three fail does
// the load fail.
TEST(ImageLoader, PrivateCopyFindsAPlace) {
    const struct {
        Folder images, tmp;
        bool sizeLimit;
        const char* copy;
    } rows[] = {
        {Folder::Writable, Folder::Writable, false, "beside the image"},
        {Folder::Writable, Folder::Missing, false, "beside the image"},
        {Folder::ReadOnly, Folder::Missing, false, "memory"},
        {Folder::ReadOnly, Folder::Writable, false, "temporary folder"},
        {Folder::ReadOnly, Folder::ReadOnly, false, "memory"},
        {Folder::Writable, Folder::ReadOnly, false, "beside the image"},
        {Folder::ReadOnly, Folder::Tiny, false, "memory"},
        {Folder::Tiny, Folder::Writable, false, "temporary folder"},
        {Folder::Tiny, Folder::Tiny, false, "memory"},
        // Nowhere to go: a copy failure naming each place, never a malformed file.
        {Folder::Writable, Folder::Writable, true, "no place: image's folder TMPDIR memory"},
    };
    std::string skipped;
    for (const auto& row : rows) {
        TestFolder folder;
        const std::string where = loadWith(folder.path() / "images", row.images,
                                           folder.path() / "tmp", row.tmp, row.sizeLimit);
        const std::string name = std::string("image's folder ") + FOLDER_NAMES[int(row.images)] +
                                 ", TMPDIR " + FOLDER_NAMES[int(row.tmp)] +
                                 (row.sizeLimit ? ", file size limit" : "");
        if (where.rfind("skip: ", 0) == 0) {
            skipped += name + " (" + where.substr(6) + "); ";
            continue;
        }
        EXPECT_EQ(where, row.copy) << name;
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << "not run: " << skipped;
    }
}
#endif

namespace {

// Open handles (Windows) or file descriptors and mappings (elsewhere) of this process.
long openResources() {
#ifdef _WIN32
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return static_cast<long>(count);
#else
    long count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        ++count;
    }
    return count;
#endif
}

} // namespace

TEST(ImageLoader, ManyLoadsDoNotLeakMappings) {
    TestFolder folder;
    const std::string good = folder.write("good.dl", build(threeModules()));
    const std::string bad = folder.write("bad.dl", withModuleCount(51, 51));
    DownloadInfoResponse record{};
    DownloadImage image;
    ASSERT_TRUE(loadImage(record, good.c_str(), image));
    const long before = openResources();
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(loadImage(record, good.c_str(), image));
        ASSERT_FALSE(loadImage(record, bad.c_str(), image));
    }
    ASSERT_TRUE(loadImage(record, good.c_str(), image));
    EXPECT_LE(openResources(), before + 5);
}

TEST(DownloadImage, MovesOwnership) {
    TestFolder folder;
    DownloadInfoResponse record{};
    DownloadImage image;
    ASSERT_TRUE(loadImage(record, folder.write("twenty.dl", TWENTY_BYTES).c_str(), image));
    const uint8_t* data = image.data();
    DownloadImage moved(std::move(image));
    EXPECT_FALSE(image.isLoaded()); // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_EQ(moved.data(), data);
    EXPECT_EQ(record.modules[0].moduleData[0], 'a');
}
