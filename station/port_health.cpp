#include "station/port_health.h"

#include <algorithm>

namespace kestrune::station {
namespace {

double median(std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Above `reference` by the ratio and above the floor. A port already marked is cleared only
// below two thirds of that, so that a port on the edge does not flip box after box.
bool above(double figure, double reference, bool marked, const HealthThresholds& t) {
    const double ratio = marked ? t.ratio * 2 / 3 : t.ratio;
    const double floor = marked ? t.floor * 2 / 3 : t.floor;
    return figure > floor && figure > ratio * reference;
}

} // namespace

LineHealth::LineHealth(size_t ports, const HealthThresholds& thresholds)
    : thresholds_(thresholds), ports_(ports) {
    thresholds_.window = std::max<uint32_t>(thresholds_.window, 1);
}

size_t LineHealth::addPort() {
    ports_.emplace_back();
    return ports_.size() - 1;
}

void LineHealth::add(size_t port, const HealthSample& sample) {
    Port& p = ports_[port];
    if (p.window.size() < thresholds_.window) {
        p.window.push_back(sample);
    } else {
        p.window[p.next] = sample;
    }
    p.next = (p.next + 1) % thresholds_.window;

    // framesResent holds both our frames sent again (after a NAK or silence) and our NAKs of
    // the box's damaged frames: every time the line made the download wait.
    uint64_t bytes = 0, events = 0, asked = 0, askedMs = 0;
    for (const HealthSample& s : p.window) {
        bytes += s.deliveredBytes;
        events += s.framesResent;
        if (s.firstRequestMs != 0) {
            ++asked;
            askedMs += s.firstRequestMs;
        }
    }
    PortHealth& h = p.health;
    h.boxes = static_cast<uint32_t>(p.window.size());
    const double kib = std::max(double(bytes) / 1024, 1.0);
    h.figure = double(events) / kib;
    h.firstRequestMs = asked != 0 ? double(askedMs) / double(asked) : 0;
    refresh();
    // The best is taken after the marks: a window is compared with the best before it.
    if (h.boxes == thresholds_.window && (!h.hasBest || h.figure < h.best)) {
        h.hasBest = true;
        h.best = h.figure;
    }
}

void LineHealth::refresh() {
    const HealthThresholds& t = thresholds_;
    std::vector<double> full;
    size_t worse = 0;
    for (Port& p : ports_) {
        PortHealth& h = p.health;
        if (h.boxes < t.window) {
            continue;
        }
        full.push_back(h.figure);
        h.worseThanOwnPast = h.hasBest && above(h.figure, h.best, h.worseThanOwnPast, t);
        worse += h.worseThanOwnPast ? 1 : 0;
    }
    lineFigure_ = full.empty() ? 0 : median(full);
    lineWorsened_ = full.size() >= 2 && worse * 2 > full.size();

    for (size_t i = 0; i < ports_.size(); ++i) {
        PortHealth& h = ports_[i].health;
        if (h.boxes < t.window) {
            h.hasLine = h.worseThanLine = h.degrading = false;
            continue;
        }
        std::vector<double> others, otherRequests;
        for (size_t j = 0; j < ports_.size(); ++j) {
            const PortHealth& o = ports_[j].health;
            if (j != i && o.boxes >= t.window) {
                others.push_back(o.figure);
                if (o.firstRequestMs != 0) {
                    otherRequests.push_back(o.firstRequestMs);
                }
            }
        }
        h.hasLine = !others.empty();
        h.line = h.hasLine ? median(others) : 0;
        const bool slowRequests =
            !otherRequests.empty() && h.firstRequestMs > median(otherRequests) + t.slowRequestMs;
        h.worseThanLine = h.hasLine && (above(h.figure, h.line, h.degrading, t) || slowRequests);
        // Against the other ports when there are any: a line that worsened as a whole leaves
        // every port near its median. Alone, against its own best.
        h.degrading = h.hasLine ? h.worseThanLine : h.worseThanOwnPast;
    }
    // A port is marked for standing out from its line. When half the ports of three or more
    // stand out at once, the line is what changed (seen: four of eight ports under the same
    // noise, each far above the median of the other seven): no port is marked.
    size_t compared = 0;
    size_t standingOut = 0;
    for (const Port& p : ports_) {
        compared += p.health.hasLine ? 1 : 0;
        standingOut += p.health.hasLine && p.health.worseThanLine ? 1 : 0;
    }
    if (compared > 2 && standingOut * 2 >= compared) {
        for (Port& p : ports_) {
            p.health.degrading = p.health.degrading && !p.health.hasLine;
        }
    }
}

} // namespace kestrune::station
