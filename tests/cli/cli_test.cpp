#include "cli/console.h"
#include "cli/station_display.h"
#include "common/sha256.h"

#include <gtest/gtest.h>
#include <string>

namespace kestrune::station {
using namespace kestrune::cli;
namespace {

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
TEST(ProgressLine, FitsEveryWidth) {
    const struct {
        int columns;
        uint64_t sent;
        const char* has;
        const char* lacks;
    } rows[] = {
        {120, 22803, "[###################...........]  65.4 %  22,803/34,863  ", ""},
        {80, 22803, "65.4 %  22,803/34,863", ""},
        {80, 35151, "[##############################] 100.0 %  34,863/34,863", "35,151"},
        {50, 22803, "65.4 %", "kB/s"},
        {30, 22803, "65.4 %", "34,863"},
        {12, 22803, "", "["},
    };
    for (const auto& row : rows) {
        const std::string line = progressLine("/dev/ttyUSB0", row.sent, 34863, 6.2, row.columns);
        EXPECT_LT(static_cast<int>(line.size()), row.columns) << line;
        EXPECT_NE(line.find(row.has), std::string::npos) << row.columns << ": " << line;
        if (row.lacks[0] != '\0') {
            EXPECT_EQ(line.find(row.lacks), std::string::npos) << row.columns << ": " << line;
        }
    }
}

TEST(StationTable, RowsFitAndKeepTheEndOfLongNames) {
    PortStatus status("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0");
    status.state = PortState::Downloading;
    status.totalBytes = 1000;
    status.acknowledgedBytes = 1500; // frames repeated: still 100 %
    status.startedMs = 0;
    status.done = 12;
    for (int columns : {40, 80, 200}) {
        const std::string row = tableRow(status, 2000, columns > 62 ? columns - 55 : 8, columns);
        EXPECT_LT(static_cast<int>(row.size()), columns) << row;
        if (columns >= 80) {
            EXPECT_NE(row.find("100.0 %"), std::string::npos) << row;
            EXPECT_NE(row.find("-port0"), std::string::npos) << row;
        }
    }
}

} // namespace
} // namespace kestrune::station
