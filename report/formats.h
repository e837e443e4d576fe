#pragma once

// The report in three forms: a table for a person, CSV (RFC 4180) for a spreadsheet, JSON for a
// script. Each carries the same numbers.

#include "report/summary.h"

#include <string>
#include <utility>
#include <vector>

namespace kestrune::report {

enum class Format { Text, Csv, Json };

// Each format's word, as --format takes it.
inline const std::vector<std::pair<std::string, Format>> FORMAT_WORDS = {
    {"text", Format::Text}, {"csv", Format::Csv}, {"json", Format::Json}};

std::string formatReport(const Summary& summary, Format format);
// With --unit: every attempt of the unit, oldest first, one a line (text, CSV) or as JSON.
std::string formatHistory(const Summary& summary, const std::string& unit, Format format);
// For standard error beside a CSV report, which has no place for them: the files with lines that
// were skipped, one line each ("boxes.jsonl: 13 lines, 2 skipped (not whole record lines)"); ""
// when none was.
std::string skippedNote(const Summary& summary);
// A record's string as a terminal may show it: control characters (C0, DEL, C1) as \n, \t,
// \r, \xHH or \u00HH, so that a port name or a reason can neither break the table nor colour
// the terminal.
std::string visible(const std::string& text);
// A CSV cell that a spreadsheet would take for a formula (=, +, -, @, a tab or a CR first)
// gets a ' in front, as CSV hardening does.
std::string csvSafe(const std::string& text);
std::string textReport(const Summary& summary);
std::string csvReport(const Summary& summary);
std::string jsonReport(const Summary& summary);

} // namespace kestrune::report
