#pragma once

// The report in three forms: a table for a person, CSV (RFC 4180) for a spreadsheet, JSON for a
// script. Each carries the same numbers.

#include "report/summary.h"

#include <string>

namespace kestrune::report {

enum class Format { Text, Csv, Json };

// "text", "csv", "json"; false for any other word.
bool parseFormat(const std::string& word, Format& format);

std::string formatReport(const Summary& summary, Format format);
std::string textReport(const Summary& summary);
std::string csvReport(const Summary& summary);
std::string jsonReport(const Summary& summary);

} // namespace kestrune::report
