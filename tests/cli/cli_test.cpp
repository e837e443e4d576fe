#include "cli/console.h"
#include "cli/port_runner.h"
#include "cli/station_display.h"
#include "cli/station_record.h"
#include "common/sha256.h"

#include <cctype>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune::cli {
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
    status.imageSize = 1000;
    status.bytesSent = 1500; // frames repeated: still 100 %
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

// Every width from 40 to 200 columns: no line reaches the last column, the totals keep DONE
// and FAILED under their headings however many states they name, and an event line breaks
// only at spaces.
TEST(StationTable, KeepsItsColumnsAtEveryWidth) {
    PortStatus a("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0");
    PortStatus b("/dev/ttyUSB1");
    PortStatus c("/dev/ttyUSB2");
    PortStatus d("/dev/ttyUSB3");
    PortStatus e("/dev/ttyUSB4");
    a.state = PortState::Downloading;
    a.imageSize = 34863;
    a.bytesSent = 8000;
    b.state = PortState::Waiting;
    c.state = PortState::Settling;
    d.state = PortState::PortFailure;
    e.state = PortState::Stopped;
    a.done = 1234;
    d.failed = 56789;
    const std::vector<PortStatus*> ports = {&a, &b, &c, &d, &e};
    const std::string event = "station: serving /usr/share/kestrune/sample.dl (34,863 bytes, "
                              "SHA-256 0de17c61889baf69...) on 16 ports; Ctrl-C stops";
    for (int columns = 40; columns <= 200; ++columns) {
        const std::vector<std::string> lines = stationTable(ports, 2000, columns);
        ASSERT_GE(lines.size(), ports.size() + 2);
        const std::string& header = lines.front();
        const size_t doneEnd = header.find("DONE") + 4;
        ASSERT_NE(header.find("DONE"), std::string::npos) << columns << ": " << header;
        ASSERT_EQ(header.substr(header.size() - 6), "FAILED") << columns << ": " << header;
        EXPECT_LT(static_cast<int>(header.size()), columns) << columns << ": " << header;
        for (size_t i = 1; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            EXPECT_LT(static_cast<int>(line.size()), columns) << columns << ": " << line;
            if (i <= ports.size() + 1) {
                // A row or the totals: the numbers end where their headings end.
                ASSERT_EQ(line.size(), header.size()) << columns << ": " << line;
                EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[doneEnd - 1])))
                    << columns << ": " << line;
                EXPECT_EQ(line[doneEnd], ' ') << columns << ": " << line;
                EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line.back())))
                    << columns << ": " << line;
            } else if (columns > 62) {
                // A continuation of the totals' states stays left of DONE (the narrow table
                // has no room there; its continuations hold nothing else and may run on).
                EXPECT_LT(line.size(), doneEnd - 5) << columns << ": " << line;
            }
        }
        EXPECT_EQ(lines[ports.size() + 1].find("total"), 0u) << columns;

        const std::vector<std::string> parts = wrapLine(event, columns);
        std::string joined;
        for (const std::string& part : parts) {
            EXPECT_LT(static_cast<int>(part.size()), columns) << columns << ": " << part;
            EXPECT_NE(part.back(), ' ') << columns << ": " << part;
            joined += (joined.empty() ? "" : " ") + part.substr(part.find_first_not_of(' '));
        }
        EXPECT_EQ(joined, event) << columns;
    }
    // The totals name every state in use, across their lines.
    std::string states;
    for (const std::string& line : stationTable(ports, 2000, 80)) {
        states += line + "\n";
    }
    for (const char* name :
         {"1 downloading,", "1 waiting,", "1 settling,", "1 port failure,", "1 stopped"}) {
        EXPECT_NE(states.find(name), std::string::npos) << name << " in:\n" << states;
    }
}

TEST(StationRecord, OneParsableLinePerAttempt) {
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
        const char* has;
    } rows[] = {
        {Outcome::Complete, true, true, 0,
         "\"outcome\":\"complete\",\"resultCode\":0,\"reason\":null"},
        {Outcome::DownloadError, true, true, 0,
         "\"reason\":\"the box ended the download after 4,096 of 34,768 module bytes\""},
        {Outcome::DownloadError, true, true, 513, "\"resultCode\":513,\"reason\":\"a frame failed"},
        {Outcome::PortFailure, false, false, 0,
         "\"wakeupByte\":null,\"downloadId\":null,\"blockSize\":null"},
        {Outcome::Aborted, true, false, 0, "\"resultCode\":null,\"reason\":\"stopped"},
    };
    for (const auto& row : rows) {
        report.outcome = row.outcome;
        report.boxWoke = row.woke;
        report.sessionRan = row.ran;
        report.responseAccepted = true;
        report.resultCode = row.code;
        report.deliveredBytes = 4096;
        report.moduleBytes = 34768;
        report.downloadId = 3;
        report.blockSize = 1024;
        report.windowSize = report.ackPeriod = 4;
        report.portFailure = PortFailure::NotFound;
        const std::string line = recordLine(report, "/dev/ttyUSB0", image, "", "");
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
        EXPECT_NE(line.find(row.has), std::string::npos) << line;
        EXPECT_NE(line.find("\"start\":\"2025-12-07T20:24:31.380Z\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"image\":\"C:\\\\images\\\\box \\\"a\\\".dl\""), std::string::npos)
            << line;
        EXPECT_NE(line.find("\"durationSeconds\":3.960,\"testLog\":null"), std::string::npos)
            << line;
    }
}

TEST(StationRecord, JsonStringsEscapeWhatMust) {
    EXPECT_EQ(jsonString(std::string("a\x01\tb\n", 5)), "\"a\\u0001\\tb\\n\"");
    EXPECT_EQ(jsonString("\xC3\xA5"), "\"\xC3\xA5\"");
}

} // namespace
} // namespace kestrune::cli
