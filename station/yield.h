#pragma once

// Yield, the one figure of how a shift went, computed here for everything that shows it (the
// station's table and summary, its page and /api/station, and `kestrune-cli report`): of the
// boxes that came to the station, the share that left with their whole image. Each box counts
// once, by its last attempt, whatever that attempt's outcome: complete, download error, not
// responding, aborted, wrong box, or a port that failed under it. A port that failed with no
// box on it is no box and leaves the yield as it is.

#include <cstdint>
#include <string>

namespace kestrune::station {

struct BoxCounts {
    uint64_t complete = 0;
    uint64_t failed = 0;       // download error, not responding
    uint64_t aborted = 0;      // stopped from outside
    uint64_t wrongBoxes = 0;   // not the hardware expected, not served
    uint64_t portFailures = 0; // boxes whose port failed during their download
    uint64_t boxes() const { return complete + failed + aborted + wrongBoxes + portFailures; }
};

// The boxes a port has seen so far.
struct PortStatus;
BoxCounts boxCountsOf(const PortStatus& status);
BoxCounts& operator+=(BoxCounts& sum, const BoxCounts& more);

// complete / boxes, from 0 to 1; false (there is no yield) before the first box.
bool yieldOf(const BoxCounts& counts, double& fraction);
// "75.0 %", or "-" before the first box.
std::string yieldText(const BoxCounts& counts);

} // namespace kestrune::station
