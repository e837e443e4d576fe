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

constexpr char REPORT_PROGRAM[] = "kestrune-cli report";

// What the options read as, once checked.
struct Checked {
    report::Filter filter;
};

// "" when the options read, else the mistake.
std::string checkReport(const ReportOptions& o, Checked& c) {
    const auto mistake = [](const char* option, const std::string& text) {
        return std::string(option) +
               " needs an ISO 8601 time, a date (2026-12-07) or a time of today (03:13), not " +
               text;
    };
    if (!o.since.empty() && !c.filter.setSince(o.since)) {
        return mistake("--since", o.since);
    }
    if (!o.until.empty() && !c.filter.setUntil(o.until)) {
        return mistake("--until", o.until);
    }
    c.filter.ports = o.ports;
    c.filter.lots = o.lots;
    c.filter.stations = o.stations;
    c.filter.unit = o.unit;
    return {};
}

} // namespace

void declareReport(CLI::App& app, ReportOptions& o) {
    app.description("Prints the numbers of one or more station records. Per port, per image (by "
                    "SHA-256) and in total: the boxes, how many completed, how many failed (by "
                    "outcome and by reason), the retries that saved a box, the yield, the median "
                    "and 95th-percentile download time and the boxes per hour of station time; "
                    "and the suspect ports.");
    app.add_option("--since", o.since,
                   "only boxes whose first attempt started at or after TIME: ISO 8601 "
                   "(2026-12-07T06:00:00Z, 2026-12-07T07:00+01:00; local time without a zone), a "
                   "date (2026-12-07: from its start) or a time of today (03:13)")
        ->type_name("TIME");
    app.add_option("--until", o.until,
                   "only boxes whose first attempt started before TIME (a date: up to its end)")
        ->type_name("TIME");
    app.add_option("--port", o.ports, "only this port, as the record names it; repeatable")
        ->type_name("DEVICE");
    app.add_option("--lot", o.lots, "only this lot, as the station's --lot named it; repeatable")
        ->type_name("LOT");
    app.add_option("--station", o.stations,
                   "only this station, as the record names it (its --station or host name); "
                   "repeatable")
        ->type_name("NAME");
    app.add_option("--unit", o.unit,
                   "the history of the unit with this serial instead: every attempt of it in the "
                   "records, the newest last")
        ->type_name("SERIAL");
    app.add_option("--format", o.format,
                   "text (a table, the default), csv (RFC 4180, for a spreadsheet) or json (for a "
                   "script)")
        ->type_name("FORMAT")
        ->transform(args::Word(report::FORMAT_WORDS));
    declareSuspectAfter(app, o.suspectAfter,
                        "a port is suspect when its last attempt left K failures in a row or more, "
                        "as the station's");
    app.add_option("RECORD", o.records,
                   "station records (--record FILE of kestrune-cli station); lines that are not "
                   "whole record lines (a torn last line) are skipped and counted")
        ->type_name("FILE")
        ->required();
    app.footer("Exit status: 0 the report was written, 1 it could not be written, 64 wrong\n"
               "usage, 66 a RECORD cannot be opened or read.");
}

int runReport(const CLI::App& app, const ReportOptions& o) {
    Checked checked;
    if (const std::string mistake = checkReport(o, checked); !mistake.empty()) {
        return args::fail(app, mistake);
    }
    report::Summariser summariser(checked.filter, o.suspectAfter);
    for (const std::string& path : o.records) {
        const report::ReadFailure failure = report::readRecordFile(path, summariser);
        if (failure.error != 0) {
            std::fprintf(stderr, "%s: cannot %s the record %s: %s\n", REPORT_PROGRAM,
                         failure.opening ? "open" : "read", path.c_str(),
                         std::strerror(failure.error));
            return EXIT_CANNOT_READ;
        }
    }
    const report::Summary summary = summariser.finish();
    const std::string text = o.unit.empty() ? report::formatReport(summary, o.format)
                                            : report::formatHistory(summary, o.unit, o.format);
    if (o.format == report::Format::Csv) {
        setBinaryStdout(); // its CR LF as they are; text and JSON take the platform's line ends
        // The text says it in its head and JSON has a field; a CSV's numbers must not be
        // silently short either.
        const std::string skipped = report::skippedNote(summary);
        for (size_t at = 0, end; at < skipped.size(); at = end + 1) {
            end = skipped.find('\n', at);
            std::fprintf(stderr, "%s: %.*s\n", REPORT_PROGRAM, int(end - at), skipped.data() + at);
        }
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write the report: %s\n", REPORT_PROGRAM,
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace kestrune::cli
