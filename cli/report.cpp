// kestrune-cli report RECORD...: the shift's numbers from one or more station records. The
// counting is the report layer's; this file reads the arguments, sets the exit status and
// writes the result.

#include "cli/cli.h"
#include "cli/terminal.h"
#include "report/formats.h"
#include "report/read_records.h"
#include "report/summary.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kestrune::cli {
namespace {

constexpr char PROGRAM[] = "kestrune-cli report";

struct ReportOptions {
    std::vector<std::string> records;
    std::string since;
    std::string until;
    std::vector<std::string> ports;
    std::string format = "text";
    unsigned suspectAfter = 3;
    // What the words above read as, once checked.
    report::Filter filter;
    report::Format chosen = report::Format::Text;
};

// Every option of the command, and nothing else.
void declareReport(args::Command& cmd, ReportOptions& o) {
    cmd.usage("[OPTIONS] RECORD...")
        .text("--since", o.since, "TIME",
              "only boxes whose first attempt started at or after TIME: ISO 8601 "
              "(2026-12-07T06:00:00Z, 2026-12-07T07:00+01:00; UTC without a zone) or a date "
              "(2026-12-07: from its start)")
        .text("--until", o.until, "TIME",
              "only boxes whose first attempt started before TIME (a date: up to its end)")
        .repeated("--port", o.ports, "DEVICE", "only this port, as the record names it; repeatable")
        .text("--format", o.format, "FORMAT",
              "text (a table, the default), csv (RFC 4180, for a spreadsheet) or json (for a "
              "script)")
        .number("--suspect-after", o.suspectAfter, "K",
                "a port is suspect when its last attempt left K failures in a row or more "
                "(default 3, as the station's)",
                1u, 1000000u)
        .footer("Arguments:\n"
                "  RECORD...             station records (--record FILE of kestrune-cli\n"
                "                        station); lines that are not whole record lines (a\n"
                "                        torn last line) are skipped and counted\n"
                "\n"
                "Exit status: 0 the report was written, 1 it could not be written, 64 wrong\n"
                "usage, 66 a RECORD cannot be opened or read.");
    cmd.app().add_option("RECORD", o.records, "a station's record");
}

// "" when the options read, else the mistake.
std::string checkReport(ReportOptions& o) {
    if (o.records.empty()) {
        return "missing RECORD";
    }
    if (!report::parseFormat(o.format, o.chosen)) {
        return "--format needs text, csv or json, not " + o.format;
    }
    const auto mistake = [](const char* option, const std::string& text) {
        return std::string(option) + " needs an ISO 8601 time or a date (2026-12-07), not " + text;
    };
    if (!o.since.empty() && !o.filter.setSince(o.since)) {
        return mistake("--since", o.since);
    }
    if (!o.until.empty() && !o.filter.setUntil(o.until)) {
        return mistake("--until", o.until);
    }
    o.filter.ports = o.ports;
    return {};
}

int runReport(const ReportOptions& o) {
    report::Summariser summariser(o.filter, o.suspectAfter);
    for (const std::string& path : o.records) {
        const report::ReadFailure failure = report::readRecordFile(path, summariser);
        if (failure.error != 0) {
            std::fprintf(stderr, "%s: cannot %s the record %s: %s\n", PROGRAM,
                         failure.opening ? "open" : "read", path.c_str(),
                         std::strerror(failure.error));
            return EXIT_CANNOT_READ;
        }
    }
    const std::string text = report::formatReport(summariser.finish(), o.chosen);
    if (o.chosen == report::Format::Csv) {
        setBinaryStdout(); // its CR LF as they are; text and JSON take the platform's line ends
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write the report: %s\n", PROGRAM, std::strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace

int runReport(int argc, char** argv) {
    ReportOptions options;
    args::Command cmd(PROGRAM,
                      "Prints the numbers of one or more station records: per port, per image "
                      "(by SHA-256) and in total, the boxes, how many completed, how many "
                      "failed (by outcome and by reason), the retries that saved a box, the "
                      "yield, the median and 95th-percentile download time and the boxes per "
                      "hour of station time; and the suspect ports.");
    declareReport(cmd, options);
    if (const int status = cmd.parse(argc, argv); status != args::PROCEED) {
        return status;
    }
    if (const std::string mistake = checkReport(options); !mistake.empty()) {
        return cmd.fail(mistake);
    }
    return runReport(options);
}

} // namespace kestrune::cli
