#include "station/yield.h"

#include "station/port_status.h"

#include <cstdio>

namespace kestrune::station {

BoxCounts boxCountsOf(const PortStatus& status) {
    BoxCounts c;
    c.complete = status.done;
    c.failed = status.failed;
    c.aborted = status.aborted;
    c.wrongBoxes = status.wrongBoxes;
    c.portFailures = status.portFailureBoxes;
    return c;
}

BoxCounts& operator+=(BoxCounts& sum, const BoxCounts& more) {
    sum.complete += more.complete;
    sum.failed += more.failed;
    sum.aborted += more.aborted;
    sum.wrongBoxes += more.wrongBoxes;
    sum.portFailures += more.portFailures;
    return sum;
}

bool yieldOf(const BoxCounts& counts, double& fraction) {
    const uint64_t boxes = counts.boxes();
    fraction = boxes == 0 ? 0.0 : static_cast<double>(counts.complete) / static_cast<double>(boxes);
    return boxes != 0;
}

std::string yieldText(const BoxCounts& counts) {
    double fraction = 0;
    if (!yieldOf(counts, fraction)) {
        return "-";
    }
    char text[16];
    std::snprintf(text, sizeof text, "%.1f %%", 100 * fraction);
    return text;
}

} // namespace kestrune::station
