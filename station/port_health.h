#pragma once

// How well each port's line carries its downloads, box after box, so that a worn cable or a
// dying adapter shows before it fails boxes. Each port keeps its last few boxes: the link's
// trouble per KiB the box acknowledged (frames sent again, NAKs of the box, frames of the box
// that failed their CRC) and the time from the wake-up byte to the box's first request. A port
// far above the line's other ports over the same window is degrading (unless half the ports of
// three or more are at once: then the line changed, not a port); a port that is the only
// one is compared with its own best. When most ports are worse than their own best at once, the
// line as a whole worsened (an image build, mains noise): that marks no port by itself.
// Pure: figures in, marks out; the station calls it under its own lock.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::station {

struct HealthThresholds {
    // Boxes per port in the running figure: enough that one unlucky box does not mark a port,
    // few enough that a cable going bad shows within a handful of boxes.
    uint32_t window = 4;
    // A port is degrading above this many times the line's figure (the median of the other
    // ports), or, alone on its station, its own best window. Cables and adapters of one line
    // differ by up to about twice in their resends; three times is one that is going.
    double ratio = 3.0;
    // Below this many link events per KiB no port is degrading, whatever the ratio: on a clean
    // line a port with 1 resend in its window must not be "3 times" a port with none.
    double floor = 0.02;
    // A box that first asks this much later after its wake-up than on the other ports (its
    // first frames lost on the line): milliseconds.
    uint32_t slowRequestMs = 2000;
};

// What one download told of its line (an attempt in which the box woke).
struct HealthSample {
    uint64_t deliveredBytes = 0; // module bytes the box acknowledged
    uint32_t framesResent = 0;   // frame attempts after the first, and NAKs sent
    uint32_t naks = 0;           // the box's NAKs of our frames
    uint32_t crcErrors = 0;      // the box's frames that failed their CRC
    uint32_t firstRequestMs = 0; // from the wake-up byte to the box's first request (0: none)
};

struct PortHealth {
    uint32_t boxes = 0;         // in the window now
    double figure = 0;          // link events per KiB over the window (resends, NAKs)
    bool hasLine = false;       // other ports have figures to compare with
    double line = 0;            // the other ports' median figure
    bool hasBest = false;       // a full window has been seen before
    double best = 0;            // the port's own best full window so far
    double firstRequestMs = 0;  // mean over the window's boxes that asked
    bool worseThanLine = false; // above the line by the ratio (and the floor)
    bool worseThanOwnPast = false;
    bool degrading = false; // the mark the operator sees
};

class LineHealth {
public:
    LineHealth(size_t ports, const HealthThresholds& thresholds);

    // A download on `port` ended: every port's figures and marks are brought up to date (the
    // line's median moves for all of them).
    void add(size_t port, const HealthSample& sample);
    // A port added at a reload, with no downloads yet: its index.
    size_t addPort();

    const PortHealth& port(size_t port) const { return ports_[port].health; }
    // Most ports (two at least) are worse than their own best at once.
    bool lineWorsened() const { return lineWorsened_; }
    // The median figure of every port with a full window (0 when none has).
    double lineFigure() const { return lineFigure_; }

private:
    struct Port {
        std::vector<HealthSample> window; // ring of the last boxes
        size_t next = 0;
        PortHealth health;
    };
    void refresh();

    HealthThresholds thresholds_;
    std::vector<Port> ports_;
    bool lineWorsened_ = false;
    double lineFigure_ = 0;
};

} // namespace kestrune::station
