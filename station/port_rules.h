#pragma once

// What follows an attempt's outcome on its port, in one place: the count the box goes into (a
// box counts by its last recorded attempt, so a retry takes it out of its earlier one), the
// port's failures in a row and whether they make it a suspect, and whether the box may be
// served again.

#include "station/port_status.h"
#include "station/verdict.h"

#include <atomic>
#include <cstdint>

namespace kestrune::station {

struct PortRules {
    uint32_t retries = 0;      // a failed box is served up to this many times more
    uint32_t suspectAfter = 3; // failures in a row that make a port a suspect
};

struct AfterOutcome {
    // The port's count this box is in while this is its last attempt.
    std::atomic<uint32_t> PortStatus::*count = nullptr;
    uint32_t failuresInRow = 0; // the port's, after this attempt
    bool suspect = false;       // the port is a suspect after it
    bool newSuspect = false;    // this attempt made it one
    // A box whose download failed (download error, not responding) may be served again if it
    // wakes up again within the settle time; a complete box never is, and neither is a wrong
    // box, an aborted one or a port failure.
    bool mayRetry = false;
};

// Pure. `attempt` is the box's (1 for its first); `inRow` and `suspect` the port's before it.
// A download error, not responding or a port failure adds a failure in a row, a complete
// download clears them (and the suspicion), a wrong box or an abort leaves them.
AfterOutcome afterOutcome(Outcome outcome, uint32_t attempt, uint32_t inRow, bool suspect,
                          const PortRules& rules);

} // namespace kestrune::station
