#pragma once

// What a station shows: on a terminal, one table row per port (state, progress, rate, boxes done
// and failed), a totals line, redrawn in place, with events printed above it; otherwise one line
// per event, each starting with its port.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kestrune::cli {

enum class PortState { Waiting, Downloading, Settling, PortFailure, Stopped };

// One port's figures, written by its thread (and its session thread), read by the display.
struct PortStatus {
    explicit PortStatus(std::string name) : port(std::move(name)) {}
    const std::string port;
    std::atomic<PortState> state{PortState::Waiting};
    std::atomic<uint32_t> bytesSent{0};
    std::atomic<uint32_t> imageSize{0};
    std::atomic<int64_t> startedMs{0}; // steady clock, when the download began
    std::atomic<uint32_t> done{0};
    std::atomic<uint32_t> failed{0};
};

// One row of the table for `columns` columns ("" when not even the port fits). Below 63
// columns the PROGRESS column is left out, so that DONE and FAILED stay on the screen.
std::string tableRow(const PortStatus& status, int64_t nowMs, size_t portWidth, int columns);

// The table for `columns` columns, one string per line: the header, a row per port, and the
// totals, whose states wrap at spaces within their column (a continuation line holds only
// states), so that DONE and FAILED stay under their headings.
std::vector<std::string> stationTable(const std::vector<PortStatus*>& ports, int64_t nowMs,
                                      int columns);

// An event line for a terminal of `columns` columns: broken at spaces into lines of at most
// `columns` - 1 characters (the later ones indented by two), a word longer than a line cut.
std::vector<std::string> wrapLine(const std::string& text, int columns);

class StationDisplay {
public:
    StationDisplay(std::vector<PortStatus*> ports, bool terminal);

    // A line about one port (port "" for the station as a whole).
    void event(const std::string& port, const std::string& text);
    // The table again, on a terminal; nothing otherwise.
    void redraw();
    // Leaves the table on the screen and the cursor under it.
    void finish();

    static int64_t nowMs();

private:
    void eraseLocked();
    void drawLocked();

    std::vector<PortStatus*> ports_;
    bool terminal_;
    std::mutex mutex_;
    int shownLines_ = 0;
};

} // namespace kestrune::cli
