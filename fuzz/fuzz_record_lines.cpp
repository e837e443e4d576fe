// Record lines as `kestrune-cli report` reads them: each line of the input through the line
// reader, the lines that pass into the summary, the summary into all three formats. A line that
// parses but holds absurd figures must not reach a number the formats cannot show, and no
// record string may reach the terminal or a spreadsheet as it came.
#include "report/formats.h"
#include "report/record_line.h"
#include "report/summary.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace kestrune::report;

namespace {

// The failed line is printed: the optimised target inlines every check into one frame.
void check(bool ok, int line = __builtin_LINE()) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_record_lines.cpp:%d: check failed\n", line);
        std::abort();
    }
}

// Every number the formats show stays within what a download can take.
void checkCounts(const Counts& c) {
    uint64_t failed = 0;
    for (const uint64_t n : c.failedBy) {
        failed += n;
    }
    check(c.complete + failed == c.boxes);
    check(c.downloads.count() == c.complete);
    for (const double q : {0.5, 0.95}) {
        const double v = c.downloads.quantile(q);
        check(v >= 0 && v <= MAX_ATTEMPT_SECONDS);
    }
    check(std::isfinite(c.stationSeconds) && c.stationSeconds >= 0);
    check(c.reasons.size() <= Counts::MAX_REASONS);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Summariser summariser({}, 3);
    summariser.beginFile("fuzz.jsonl");
    RecordLine line;
    for (size_t at = 0; at <= input.size();) {
        size_t end = input.find('\n', at);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        std::string_view text = input.substr(at, end - at);
        at = end + 1;
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        if (text.empty()) {
            continue;
        }
        if (parseRecordLine(text, line)) {
            const double s = line.seconds();
            check(s >= 0 && s <= MAX_ATTEMPT_SECONDS);
            summariser.add(line);
        } else {
            summariser.skip();
        }
    }
    summariser.endFile();
    const Summary summary = summariser.finish();
    checkCounts(summary.total);
    for (const PortRow& row : summary.ports) {
        checkCounts(row.counts);
    }
    for (const ImageRow& row : summary.images) {
        checkCounts(row.counts);
    }

    // The text: no control character but its own line feeds.
    const std::string text = textReport(summary);
    for (const char c : text) {
        check(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
        check(c != 0x7F);
    }
    // CSV: no cell a spreadsheet would run (the numbers are never negative).
    const std::string csv = csvReport(summary);
    // A cell starts after a comma or a line end outside quotes; a quoted cell's first character
    // is the one after its opening quote.
    bool quoted = false;
    bool cellStart = true;
    for (size_t i = 0; i < csv.size(); ++i) {
        size_t first = i;
        if (cellStart && csv[i] == '"') {
            quoted = true;
            first = i + 1;
        }
        if (cellStart && first < csv.size()) {
            check(std::string_view("=+-@").find(csv[first]) == std::string_view::npos);
        }
        cellStart = false;
        for (i = first; quoted && i < csv.size(); ++i) {
            if (csv[i] == '"' && i + 1 < csv.size() && csv[i + 1] == '"') {
                ++i;
            } else if (csv[i] == '"') {
                quoted = false;
            }
        }
        if (i < csv.size()) {
            cellStart = csv[i] == ',' || csv[i] == '\n';
        }
    }
    check(!jsonReport(summary).empty());
    return 0;
}
