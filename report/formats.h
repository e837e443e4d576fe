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
std::string textReport(const Summary& summary);
std::string csvReport(const Summary& summary);
std::string jsonReport(const Summary& summary);

} // namespace kestrune::report
