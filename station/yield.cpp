#include "station/yield.h"

#include <cstdio>

namespace kestrune::station {

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
