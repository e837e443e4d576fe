#pragma once

#include "dsmcc/records.h"

#include <cstdint>
#include <string>

namespace kestrune {

// The report of a full record (50 modules of 255 info bytes, 1024 private-data bytes, every
// value at its widest) is this many characters long.
constexpr size_t DETAILS_REPORT_MAX_LENGTH = 109091;

// "0x%2X (%d)", "0x%4X (%d)", "0x%6X (%lu)" or "0x%8X (%lu)" for widths 1 to 4 (a width
// outside 1..4 is taken as the nearest of them).
std::string formatFieldValue(uint32_t value, int width);

// indent blanks, name, TAB, value; no line end.
std::string formatFieldLine(int indent, const char* name, const std::string& value);

// indent blanks and "{", then up to eight "0x%2x  " bytes per line, then indent blanks and
// "}"; every line ends in CR LF, the last one included.
std::string dumpByteArray(int indent, const uint8_t* bytes, uint32_t length);

// Renders the record as the details report: CR LF line ends, no line end after the final "}".
// The record is only read. numberOfModules above 50 and privateDataLength above 1024 cannot
// occur in a record the loader filled; should they, the report stops at the record's bounds.
void detailsReport(const DownloadInfoResponse& record, std::string& out);
std::string detailsReport(const DownloadInfoResponse& record);

} // namespace kestrune
