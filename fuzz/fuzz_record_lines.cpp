// Record lines as `kestrune-cli report` reads them: each line of the input through the line
// reader, the lines that pass into the summary, the summary into all three formats. A line that
// parses but holds absurd figures must not reach a number the formats cannot show, and no
// record string may reach the terminal or a spreadsheet as it came.
#include "report/formats.h"
#include "report/record_line.h"
#include "report/summary.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace kestrune::report;

namespace {

void check(bool ok) {
    if (!ok) {
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
    for (size_t i = 0; i < csv.size(); ++i) {
        const bool cellStart = i == 0 || csv[i - 1] == ',' || csv[i - 1] == '\n';
        size_t c = i;
        if (cellStart && csv[c] == '"') {
            ++c;
        }
        if (cellStart && c < csv.size()) {
            check(std::string_view("=+-@").find(csv[c]) == std::string_view::npos);
        }
    }
    check(!jsonReport(summary).empty());
    return 0;
}
