#pragma once

// What a station shows: on a terminal, one table row per port (state, progress, rate, boxes done
// and failed), a totals line, redrawn in place, with events printed above it; otherwise one line
// per event, each starting with its port.

#include "station/station_loop.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::cli {

using station::PortState;
using station::PortStatus;

// One row of the table for `columns` columns ("" when not even the port fits). Below 63
// columns the PROGRESS column is left out, so that DONE and FAILED stay on the screen; the BOX
// column (the box's hardware model/version) is shown when the row has room for it.
std::string tableRow(const PortStatus& status, int64_t nowMs, size_t portWidth, int columns);

// The table for `columns` columns, one string per line: the header, a row per port, and the
// totals, whose states wrap at spaces within their column (a continuation line holds only
// states), so that DONE and FAILED stay under their headings.
std::vector<std::string> stationTable(const std::vector<PortStatus*>& ports, int64_t nowMs,
                                      int columns);

// An event line for a terminal of `columns` columns: broken at spaces into lines of at most
// `columns` - 1 characters (the later ones indented by two), a word longer than a line cut.
std::vector<std::string> wrapLine(const std::string& text, int columns);

// One event line as a log keeps it, on `out`: its time first, then the line with every control
// character a space.
void logEvent(std::FILE* out, const std::string& line);

class StationDisplay final : public station::StationEvents {
public:
    // The lines go to `out` (a service's log file) when it is given, else to stderr.
    StationDisplay(std::vector<PortStatus*> ports, bool terminal, std::FILE* out = nullptr);

    // A line about one port (port "" for the station as a whole).
    void event(const std::string& port, const std::string& text) override;
    // The table again, on a terminal; nothing otherwise.
    void redraw();
    // A line under the table, asked for at every redraw ("" for none): the forwarder's backlog.
    void footer(std::function<std::string()> line);
    // A port a reload added: a row of its own from now on.
    void addPort(PortStatus* port);
    // Leaves the table on the screen and the cursor under it.
    void finish();

    static int64_t nowMs();

private:
    void eraseLocked();
    void drawLocked();

    std::vector<PortStatus*> ports_;
    bool terminal_;
    std::FILE* out_;
    std::mutex mutex_;
    int shownLines_ = 0;
    std::function<std::string()> footer_;
};

} // namespace kestrune::cli
