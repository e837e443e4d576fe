#pragma once

// Why boxes failed, as an operator acts on it: every failed attempt goes to one likely cause.
//   handling  the line was cut during the download (a port that went away with the box on it,
//             or right after it: an unplugged cable, a box powered off)
//   image     the same block of the same module failed on two ports or more
//   box       a box that failed again on a retry, or failed where the port's other boxes pass
//   port      the port's resends per KiB, or its failures, far above the other ports'
// Memory grows with the ports and the blocks that failed, not with the record.

#include "report/record_line.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::report {

enum class Cause { Image, Port, Box, Handling };
const char* causeName(Cause cause); // "image", "port", "box", "handling"

struct CauseGroup {
    Cause cause = Cause::Image;
    std::vector<std::string> ports; // the ports behind it, as people sort them
    uint64_t failed = 0;            // failed attempts it explains
    std::string evidence;           // in an operator's words, with what to check
};

class FailureCauses {
public:
    // Every attempt in the report, in record order.
    void add(const RecordLine& line);
    // The groups, image first, then port, box and handling; each by its failed attempts.
    std::vector<CauseGroup> groups() const;

private:
    using Block = std::pair<uint32_t, uint32_t>; // module, block
    struct Failures {
        uint64_t count = 0;
        uint64_t retries = 0; // of them, attempts after the box's first
        uint64_t resends = 0; // theirs, and their bytes: left out of the port's figure when
        uint64_t bytes = 0;   // the image is their cause
    };
    struct Port {
        uint64_t attempts = 0;
        uint64_t failed = 0;
        // Boxes that passed at their first attempt: the neighbours a failed box is held up
        // against (a box that passed on its retry is not its own neighbour).
        uint64_t complete = 0;
        uint64_t resends = 0;
        uint64_t bytes = 0;
        std::map<Block, Failures> byBlock; // failures that stopped in a block
        Failures elsewhere;                // failures before any block went out
        uint64_t handling = 0;
        // The last attempt, while a port failure right after it may show it was cut off.
        bool lastFailed = false;
        bool lastInBlock = false;
        Block lastBlock{};
        bool lastRetry = false;
    };

    std::map<std::string, Port> ports_;
};

} // namespace kestrune::report
