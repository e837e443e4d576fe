#include "cli/cli.h"
#include "cli/console.h"
#include "cli/station_display.h"

#include <cctype>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

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

// Under a release the table says which image each port served last.
TEST(StationTable, UnderAReleaseNamesTheImageServedLast) {
    const std::vector<std::string> labels = {"4.7.11-vb2000", "4.7.11-vb2100"};
    PortStatus a("/dev/ttyUSB0");
    PortStatus b("/dev/ttyUSB1");
    a.imageLabels = b.imageLabels = &labels;
    a.lastEntry = 1;
    const std::vector<std::string> lines = stationTable({&a, &b}, 0, 120);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find("  IMAGE"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("  4.7.11-vb2100"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 3), "  -") << lines[2];
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
    a.totalBytes = 34863;
    a.acknowledgedBytes = 8000;
    b.state = PortState::Waiting;
    c.state = PortState::Settling;
    d.state = PortState::PortDown;
    e.state = PortState::Stopped;
    a.done = 1234;
    d.failed = 56789;
    a.boxHardware = PortStatus::BOX_HARDWARE | 0x5601u << 16 | 0x0203u;
    c.boxHardware = PortStatus::BOX_NO_HARDWARE;
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
    // Under them the yield: 1234 of the 1234 + 56789 boxes.
    EXPECT_NE(states.find("yield 2.1 %\n"), std::string::npos) << states;
}

// Which box each port has: the BOX column while the port names keep 12 characters beside it.
TEST(StationTable, ShowsTheBoxOfEachPortWhereItHasRoom) {
    PortStatus a("/dev/ttyUSB0");
    PortStatus b("/dev/ttyUSB1");
    PortStatus c("/dev/ttyUSB2");
    a.boxHardware = PortStatus::BOX_HARDWARE | 0x5601u << 16 | 0x0203u;
    b.boxHardware = PortStatus::BOX_NO_HARDWARE;
    const std::vector<PortStatus*> ports = {&a, &b, &c};
    const struct {
        int columns;
        bool box;
    } widths[] = {{82, true}, {81, false}, {62, false}, {200, true}};
    for (const auto& w : widths) {
        const std::vector<std::string> lines = stationTable(ports, 2000, w.columns);
        EXPECT_EQ(lines[0].find("BOX") != std::string::npos, w.box)
            << w.columns << ": " << lines[0];
        if (w.box) {
            const size_t at = lines[0].find("BOX");
            EXPECT_EQ(lines[1].substr(at, 14), "0x5601/0x0203 ") << lines[1];
            EXPECT_EQ(lines[2].substr(at, 5), "none ") << lines[2];
            EXPECT_EQ(lines[3].substr(at, 2), "- ") << lines[3];
        }
    }
}

// A service's log file: a line per event, timed, with nothing that moves a cursor, even when the
// station's stderr is a terminal; nothing on stderr.
TEST(StationDisplay, WritesTimedPlainLinesToItsLogFile) {
    std::FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    PortStatus a1("A1");
    {
        StationDisplay display({&a1}, true, log);
        display.event("A1", "complete: 34,768 module bytes\x1b[2J\tin 7.3 s");
        display.redraw();
        display.event("", "2 complete, 0 failed");
        display.finish();
    }
    std::rewind(log);
    std::string text;
    for (int c = std::fgetc(log); c != EOF; c = std::fgetc(log)) {
        text += static_cast<char>(c);
    }
    std::fclose(log);
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos) << text;
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    ASSERT_EQ(lines.size(), 2u) << text;
    const char* const rest[] = {"A1: complete: 34,768 module bytes [2J in 7.3 s",
                                "station: 2 complete, 0 failed"};
    for (size_t i = 0; i < lines.size(); ++i) {
        // "2026-12-10T08:41:25.594Z "
        ASSERT_GT(lines[i].size(), 25u);
        EXPECT_EQ(lines[i][10], 'T') << lines[i];
        EXPECT_EQ(lines[i].substr(23, 2), "Z ") << lines[i];
        EXPECT_EQ(lines[i].substr(25), rest[i]);
    }
}

// kestrune-cli's whole tree, built without running a command: what a command line chooses,
// what lands in which command's options, and the first line of a mistake.
TEST(CommandLine, ChoosesTheCommandAndFillsItsOptions) {
    struct Case {
        std::vector<std::string> words;
        int status;
        const char* chosen;
        const char* err; // the first line on stderr
        std::function<bool(const CliOptions&)> set;
    };
    const auto none = [](const CliOptions&) { return true; };
    const Case cases[] = {
        {{"serve", "--port", "/dev/ttyUSB0", "-q", "a.dl"},
         args::PROCEED,
         "kestrune-cli serve",
         "",
         [](const CliOptions& o) {
             return o.serve.port == "/dev/ttyUSB0" && o.serve.quiet && o.serve.image == "a.dl";
         }},
        {{"station", "--port", "a", "--port=b", "--settle", "2.5", "--retries", "0x10", "i.dl"},
         args::PROCEED,
         "kestrune-cli station",
         "",
         [](const CliOptions& o) {
             return o.station.ports == std::vector<std::string>{"a", "b"} &&
                    o.station.settle == 2.5 && o.station.retries == 16 && o.station.image == "i.dl";
         }},
        {{"station", "--suspect-after", "010", "i.dl"},
         args::PROCEED,
         "kestrune-cli station",
         "",
         [](const CliOptions& o) { return o.station.suspectAfter == 10; }},
        {{"station", "--health-window", "6", "--degrading-ratio", "2.5", "--degrading-floor", "0",
          "i.dl"},
         args::PROCEED,
         "kestrune-cli station",
         "",
         [](const CliOptions& o) {
             return o.station.health.window == 6 && o.station.health.ratio == 2.5 &&
                    o.station.health.floor == 0;
         }},
        {{"ports", "--plain"},
         args::PROCEED,
         "kestrune-cli ports",
         "",
         [](const CliOptions& o) { return o.ports.plain; }},
        {{"help", "serve"},
         args::PROCEED,
         "kestrune-cli help",
         "",
         [](const CliOptions& o) { return o.help == std::vector<std::string>{"serve"}; }},
        {{"info", "--", "-odd.dl"},
         args::PROCEED,
         "kestrune-cli info",
         "",
         [](const CliOptions& o) { return o.info.image == "-odd.dl"; }},
        {{"serve", "img", "--port"},
         args::EXIT_USAGE,
         "kestrune-cli serve",
         "kestrune-cli serve: missing value after --port",
         none},
        {{"station", "--retries", "101", "i.dl"},
         args::EXIT_USAGE,
         "kestrune-cli station",
         "kestrune-cli station: --retries needs a number from 0 to 100, not 101",
         none},
        {{"station", "--settle", "0x2", "i.dl"},
         args::EXIT_USAGE,
         "kestrune-cli station",
         "kestrune-cli station: --settle needs a number from 0.2 to 3600, not 0x2",
         none},
        {{"info", "a.dl", "serve"},
         args::EXIT_USAGE,
         "kestrune-cli info",
         "kestrune-cli info: unexpected argument serve",
         none},
        {{"--port", "x", "serve"},
         args::EXIT_USAGE,
         "kestrune-cli serve",
         "kestrune-cli: unknown option --port",
         none},
        {{"flash", "a.dl"},
         args::EXIT_USAGE,
         "kestrune-cli",
         "kestrune-cli: unknown command flash",
         none},
        {{"service", "install", "line1", "--config", "l.toml", "--start", "demand"},
         args::PROCEED,
         "kestrune-cli service install",
         "",
         [](const CliOptions& o) {
             return o.service.action == "install" && o.service.name == "line1" &&
                    o.service.config == "l.toml" && o.service.demand;
         }},
        {{"service", "install", "line1", "--config", "l.toml"},
         args::PROCEED,
         "kestrune-cli service install",
         "",
         [](const CliOptions& o) { return !o.service.demand; }},
        {{"service", "reload", "line1"},
         args::PROCEED,
         "kestrune-cli service reload",
         "",
         [](const CliOptions& o) {
             return o.service.action == "reload" && o.service.name == "line1";
         }},
        {{"service", "install", "line1"},
         args::EXIT_USAGE,
         "kestrune-cli service install",
         "kestrune-cli service install: --config is required",
         none},
        {{"service", "install", "line1", "--config", "l.toml", "--start", "boot"},
         args::EXIT_USAGE,
         "kestrune-cli service install",
         "kestrune-cli service install: --start needs auto or demand, not boot",
         none},
        {{"service", "remove"},
         args::EXIT_USAGE,
         "kestrune-cli service remove",
         "kestrune-cli service remove: missing NAME",
         none},
        {{"ports", "--help"}, 0, "kestrune-cli ports", "", none},
        {{"--version"}, 0, "kestrune-cli", "", none},
    };
    for (const Case& c : cases) {
        CLI::App app("", "kestrune-cli");
        CliOptions o;
        declareCli(app, o);
        std::ostringstream out, err;
        std::string line;
        for (const std::string& w : c.words) {
            line += " " + w;
        }
        EXPECT_EQ(args::parse(app, c.words, out, err), c.status) << line << "\n" << err.str();
        EXPECT_EQ(args::commandName(args::chosen(app)), c.chosen) << line;
        EXPECT_EQ(err.str().substr(0, err.str().find('\n')), c.err) << line;
        EXPECT_TRUE(c.set(o)) << line;
        if (c.status == 0) {
            EXPECT_NE(out.str(), "") << line;
        }
    }
}

} // namespace
} // namespace kestrune::station
