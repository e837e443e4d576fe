#include "cli/station_display.h"

#include "cli/console.h"

#include <cstdio>

namespace kestrune::cli {
namespace {

const char* stateName(PortState state) {
    switch (state) {
    case PortState::Waiting:
        return "waiting";
    case PortState::Downloading:
        return "downloading";
    case PortState::Settling:
        return "settling";
    case PortState::PortDown:
        return "port failure";
    case PortState::Stopped:
        break;
    }
    return "stopped";
}

// The end of a long name is what tells ports apart (/dev/serial/by-id/usb-FTDI_..._A10K-if00).
std::string fitName(const std::string& name, size_t width) {
    if (name.size() <= width) {
        return name + std::string(width - name.size(), ' ');
    }
    if (width <= 3) {
        return name.substr(name.size() - width);
    }
    return "..." + name.substr(name.size() - (width - 3));
}

std::string cut(std::string line, int columns) {
    // The last column would wrap on some terminals.
    if (columns > 1 && static_cast<int>(line.size()) > columns - 1) {
        line.resize(static_cast<size_t>(columns - 1));
    }
    return line;
}

} // namespace

int64_t StationDisplay::nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string tableRow(const PortStatus& status, int64_t nowMs, size_t portWidth, int columns) {
    const PortState state = status.state.load();
    char figures[96] = "";
    if (state == PortState::Downloading && status.totalBytes.load() != 0) {
        const uint64_t size = status.totalBytes.load();
        uint64_t sent = status.acknowledgedBytes.load();
        sent = sent < size ? sent : size;
        const double seconds = (nowMs - status.startedMs.load()) / 1000.0;
        const double rate = seconds > 0.05 ? sent / seconds / 1000.0 : 0.0;
        std::snprintf(figures, sizeof figures, "%5.1f %%  %6.1f kB/s", 100.0 * sent / size, rate);
    }
    char line[256];
    std::snprintf(line, sizeof line, "%s  %-12s  %-20s  %5u  %6u",
                  fitName(status.port, portWidth).c_str(), stateName(state), figures,
                  status.done.load(), status.failed.load());
    return cut(line, columns);
}

StationDisplay::StationDisplay(std::vector<PortStatus*> ports, bool terminal)
    : ports_(std::move(ports)), terminal_(terminal) {}

void StationDisplay::event(const std::string& port, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    eraseLocked();
    if (port.empty()) {
        std::fprintf(stderr, "station: %s\n", text.c_str());
    } else {
        std::fprintf(stderr, "%s: %s\n", port.c_str(), text.c_str());
    }
    drawLocked();
    std::fflush(stderr);
}

void StationDisplay::redraw() {
    if (!terminal_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    eraseLocked();
    drawLocked();
    std::fflush(stderr);
}

void StationDisplay::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    eraseLocked();
    drawLocked();
    shownLines_ = 0;
    std::fflush(stderr);
}

void StationDisplay::eraseLocked() {
    if (shownLines_ > 0) {
        // Up to the table's first line, then clear everything below.
        std::fprintf(stderr, "\033[%dA\r\033[J", shownLines_);
        shownLines_ = 0;
    }
}

void StationDisplay::drawLocked() {
    if (!terminal_) {
        return;
    }
    const int columns = terminalColumns();
    size_t longest = 5;
    for (const PortStatus* p : ports_) {
        longest = p->port.size() > longest ? p->port.size() : longest;
    }
    // The figures take 54 columns; the port name gets what is left, at least 8.
    const size_t room = columns > 62 ? static_cast<size_t>(columns - 55) : 8;
    const size_t width = longest < room ? longest : room;
    const int64_t now = nowMs();

    std::string out;
    char header[256];
    std::snprintf(header, sizeof header, "%s  %-12s  %-20s  %5s  %6s",
                  fitName("PORT", width).c_str(), "STATE", "PROGRESS", "DONE", "FAILED");
    out += cut(header, columns) + "\n";
    uint32_t done = 0;
    uint32_t failed = 0;
    int counts[5] = {};
    for (const PortStatus* p : ports_) {
        out += tableRow(*p, now, width, columns) + "\n";
        done += p->done.load();
        failed += p->failed.load();
        counts[static_cast<int>(p->state.load())] += 1;
    }
    // Only the states some port is in, so the line keeps to its columns.
    std::string states;
    const char* names[] = {"waiting", "downloading", "settling", "port failure", "stopped"};
    for (int i : {1, 0, 2, 3, 4}) {
        if (counts[i] != 0) {
            states += (states.empty() ? "" : ", ") + std::to_string(counts[i]) + " " + names[i];
        }
    }
    char total[256];
    std::snprintf(total, sizeof total, "%s  %-34s  %5u  %6u", fitName("total", width).c_str(),
                  states.c_str(), done, failed);
    out += cut(total, columns) + "\n";
    std::fputs(out.c_str(), stderr);
    shownLines_ = static_cast<int>(ports_.size()) + 2;
}

} // namespace kestrune::cli
