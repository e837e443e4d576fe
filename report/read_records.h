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

constexpr size_t MAX_LINE_BYTES = 4u << 20;

// Reads the record file at `path` into `summariser` (beginFile ... endFile) through a buffer of
// `bufferBytes`. A line that does not fit in it is skipped and counted like any other line that
// is not a record line.
ReadFailure readRecordFile(const std::string& path, Summariser& summariser,
                           size_t bufferBytes = MAX_LINE_BYTES);

} // namespace kestrune::report
