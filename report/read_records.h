#pragma once

// Reading record files: line by line through a fixed buffer, so that memory does not grow with
// the file, the lines of each piece parsed on two threads when the machine has two cores, and
// handed to the summariser in the file's order.

#include "report/summary.h"

#include <string>

namespace kestrune::report {

struct ReadFailure {
    int error = 0;        // errno of the call that failed; 0 when the file was read
    bool opening = false; // the open failed (else a read)
};

// Reads the record file at `path` into `summariser` (beginFile ... endFile). A line longer than
// MAX_LINE_BYTES is skipped and counted like any other line that is not a record line.
ReadFailure readRecordFile(const std::string& path, Summariser& summariser);

constexpr size_t MAX_LINE_BYTES = 4u << 20;

} // namespace kestrune::report
