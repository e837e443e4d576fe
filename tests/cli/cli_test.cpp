#include "cli/console.h"
#include "cli/station_display.h"

#include <gtest/gtest.h>
#include <string>

namespace kestrune::station {
using namespace kestrune::cli;
namespace {

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
