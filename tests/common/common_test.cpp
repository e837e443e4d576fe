// The common layer: big-endian fields read and written with their bounds checked, and SHA-256.

#include "common/byte_order.h"
#include "common/iso_time.h"
#include "common/sha256.h"
#include "common/system_error.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune {
namespace {

TEST(ByteReader, ReadsFieldsInOrderAndStopsAtTheEnd) {
    const uint8_t bytes[] = {0x11, 0x10, 0x04, 0x00, 0xA0, 0xB1, 0xDE, 0xAD, 0xBE, 0xEF};
    const struct {
        size_t size;
        bool ok; // after u8, u16, u24, u32
        uint32_t last;
    } rows[] = {
        {10, true, 0xDEADBEEF},
        {9, false, 0}, // the u32 does not fit: read as 0, and not ok
        {0, false, 0},
    };
    for (const auto& row : rows) {
        ByteReader in(bytes, row.size);
        const uint8_t a = in.u8();
        const uint16_t b = in.u16();
        const uint32_t c = in.u24();
        const uint32_t d = in.u32();
        EXPECT_EQ(in.ok(), row.ok) << row.size;
        EXPECT_EQ(d, row.last) << row.size;
        if (row.size >= 6) {
            EXPECT_EQ(a, 0x11);
            EXPECT_EQ(b, 0x1004);
            EXPECT_EQ(c, 0x00A0B1u);
        }
        // Once over, nothing more is read, even what would fit.
        if (!row.ok) {
            EXPECT_EQ(in.u8(), 0);
        }
    }
}

TEST(ByteWriter, WritesWhatFitsAndNothingAfterAnOverrun) {
    uint8_t out[7] = {};
    ByteWriter w(out, sizeof out);
    w.u16(0x1003);
    w.u24(0x00A0B1);
    w.u32(0x01020304); // does not fit
    w.u8(0x55);        // would fit, but the writer has stopped
    EXPECT_FALSE(w.ok());
    const std::vector<uint8_t> expected = {0x10, 0x03, 0x00, 0xA0, 0xB1, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(out, out + 7), expected);
}

TEST(Sha256, KnownDigests) {
    const struct {
        std::string input;
        const char* digest;
    } rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& row : rows) {
        Sha256 whole;
        whole.update(reinterpret_cast<const uint8_t*>(row.input.data()), row.input.size());
        EXPECT_EQ(whole.hex(), row.digest) << row.input.size() << " bytes";
        // The same bytes in uneven pieces.
        Sha256 pieces;
        for (size_t at = 0, step = 1; at < row.input.size(); at += step, step = step * 3 % 97 + 1) {
            const size_t n = std::min(step, row.input.size() - at);
            pieces.update(reinterpret_cast<const uint8_t*>(row.input.data()) + at, n);
        }
        EXPECT_EQ(pieces.hex(), row.digest) << row.input.size() << " bytes in pieces";
    }
}

// The bar never wraps, never passes the image's size, and gives way part by part.
// C runtime numbers get the C runtime's words on every platform; on Windows the same numbers
// as Win32 codes would read "The data is invalid" (13) and "The printer is out of paper" (28).
TEST(SystemErrorText, CrtNumbersReadAsTheCRuntimeSaysThem) {
    const struct {
        int code;
        const char* words;
    } rows[] = {
        {EACCES, "Permission denied"},
        {ENOSPC, "No space left on device"},
        {ENOENT, "No such file or directory"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(systemErrorText(CrtError{row.code}), row.words) << row.code;
    }
}

// Calendar edges: a leap day, the last millisecond before 1970, a year's last moment.
TEST(IsoTime, WritesUtcWithMillisecondsAndTheFileForm) {
    using namespace std::chrono;
    const struct {
        int64_t ms;
        const char* iso;
        const char* file;
    } rows[] = {
        {0, "1970-01-01T00:00:00.000Z", "19700101T000000Z"},
        {-1, "1969-12-31T23:59:59.999Z", "19691231T235959Z"},
        {1709164800123, "2024-02-29T00:00:00.123Z", "20240229T000000Z"},
        {1798761599999, "2026-12-31T23:59:59.999Z", "20261231T235959Z"},
    };
    for (const auto& row : rows) {
        const sys_time<milliseconds> when{milliseconds(row.ms)};
        EXPECT_EQ(isoTime(when), row.iso);
        EXPECT_EQ(fileTime(when), row.file);
        EXPECT_EQ(isoTime(system_clock::time_point(when) + microseconds(999)), row.iso);
    }
}

} // namespace
} // namespace kestrune
