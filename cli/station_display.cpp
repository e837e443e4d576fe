#include "cli/station_display.h"

#include "cli/console.h"
#include "common/iso_time.h"
#include "station/yield.h"

#include <cstdio>

namespace kestrune::cli {
namespace {

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

// Whether the table has room for the PROGRESS column, and how wide the port column is.
bool showsProgress(int columns) {
    return columns > 62;
}

// The BOX column, when the port names keep 12 characters beside it (or all they need).
bool showsBoxFor(int columns, size_t longest) {
    return showsProgress(columns) && columns - 70 >= static_cast<int>(longest < 12 ? longest : 12);
}

// Whether a row whose port column is `portWidth` wide has the BOX column (as the table chose).
bool showsBox(int columns, size_t portWidth) {
    return showsProgress(columns) && static_cast<int>(portWidth) + 70 <= columns;
}

size_t portWidthFor(int columns, size_t longest) {
    // The figures take 54 columns (69 with BOX, 32 without PROGRESS); the port name gets what
    // is left.
    const size_t room = showsBoxFor(columns, longest) ? static_cast<size_t>(columns - 70)
                        : showsProgress(columns)      ? static_cast<size_t>(columns - 55)
                        : columns > 38                ? static_cast<size_t>(columns - 33)
                                                      : 5;
    return longest < room ? longest : room;
}

// Words of `text` into lines of at most `width` characters; a longer word is cut.
std::vector<std::string> wrapWords(const std::string& text, size_t width) {
    std::vector<std::string> lines;
    std::string line;
    size_t at = 0;
    while (at < text.size()) {
        const size_t space = text.find(' ', at);
        std::string word =
            text.substr(at, space == std::string::npos ? std::string::npos : space - at);
        at = space == std::string::npos ? text.size() : space + 1;
        if (word.empty()) {
            continue;
        }
        if (!line.empty() && line.size() + 1 + word.size() <= width) {
            line += " " + word;
            continue;
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        while (word.size() > width && width > 0) {
            lines.push_back(word.substr(0, width));
            word.erase(0, width);
        }
        line = word;
    }
    if (!line.empty() || lines.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// The box's hardware model and version as its request gave them: "0x5601/0x0203".
std::string boxText(uint64_t hardware) {
    if ((hardware & PortStatus::BOX_HARDWARE) == 0) {
        return hardware == 0 ? "-" : "none";
    }
    char text[24];
    std::snprintf(text, sizeof text, "0x%04X/0x%04X", unsigned(hardware >> 16 & 0xFFFF),
                  unsigned(hardware & 0xFFFF));
    return text;
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
    if (showsBox(columns, portWidth)) {
        std::snprintf(line, sizeof line, "%s  %-13s  %-12s  %-20s  %5u  %6u",
                      fitName(status.port, portWidth).c_str(),
                      boxText(status.boxHardware.load()).c_str(), station::stateName(state),
                      figures, status.done.load(), status.failed.load());
    } else if (showsProgress(columns)) {
        std::snprintf(line, sizeof line, "%s  %-12s  %-20s  %5u  %6u",
                      fitName(status.port, portWidth).c_str(), station::stateName(state), figures,
                      status.done.load(), status.failed.load());
    } else {
        std::snprintf(line, sizeof line, "%s  %-12s  %5u  %6u",
                      fitName(status.port, portWidth).c_str(), station::stateName(state),
                      status.done.load(), status.failed.load());
    }
    // Under a release, the image the port served last; failures in a row: the cable or adapter
    // rather than the boxes. Degrading: its resends far above the other ports' while its boxes
    // still complete.
    std::string row = line;
    if (status.imageLabels != nullptr) {
        const std::string image = status.lastImage();
        row += "  " + (image.empty() ? std::string("-") : image);
    }
    std::string marks = status.suspect.load() ? "  suspect" : "";
    if (status.degrading.load()) {
        char degrading[64];
        std::snprintf(degrading, sizeof degrading, "  degrading (%.3f resends/KiB)",
                      status.linkQuality.load());
        marks += degrading;
    }
    return cut(row + marks, columns);
}

std::vector<std::string> stationTable(const std::vector<PortStatus*>& ports, int64_t nowMs,
                                      int columns) {
    size_t longest = 5;
    for (const PortStatus* p : ports) {
        longest = p->port.size() > longest ? p->port.size() : longest;
    }
    const size_t width = portWidthFor(columns, longest);
    const bool progress = showsProgress(columns);

    std::vector<std::string> lines;
    char header[256];
    const bool box = showsBox(columns, width);
    if (box) {
        std::snprintf(header, sizeof header, "%s  %-13s  %-12s  %-20s  %5s  %6s",
                      fitName("PORT", width).c_str(), "BOX", "STATE", "PROGRESS", "DONE", "FAILED");
    } else if (progress) {
        std::snprintf(header, sizeof header, "%s  %-12s  %-20s  %5s  %6s",
                      fitName("PORT", width).c_str(), "STATE", "PROGRESS", "DONE", "FAILED");
    } else {
        std::snprintf(header, sizeof header, "%s  %-12s  %5s  %6s", fitName("PORT", width).c_str(),
                      "STATE", "DONE", "FAILED");
    }
    const bool release = !ports.empty() && ports.front()->imageLabels != nullptr;
    lines.push_back(cut(std::string(header) + (release ? "  IMAGE" : ""), columns));
    uint32_t done = 0;
    uint32_t failed = 0;
    int counts[5] = {};
    station::BoxCounts boxes;
    for (const PortStatus* p : ports) {
        lines.push_back(tableRow(*p, nowMs, width, columns));
        done += p->done.load();
        failed += p->failed.load();
        boxes += station::boxCountsOf(*p);
        counts[static_cast<int>(p->state.load())] += 1;
    }
    // Only the states some port is in. The first line's share stays in the columns of STATE
    // (and PROGRESS), left of DONE; the lines below hold nothing else, so in the narrow table
    // they may run to the end of the line. A line breaks between two states, inside one only
    // when it does not fit a line alone.
    std::vector<std::string> items;
    for (int i : {1, 0, 2, 3, 4}) {
        if (counts[i] != 0) {
            items.push_back(std::to_string(counts[i]) + " " +
                            station::stateName(static_cast<PortState>(i)));
        }
    }
    const size_t cell = box ? 49 : progress ? 34 : 12;
    const size_t lineRoom = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
    const size_t below = progress || lineRoom < width + 2 + cell ? cell : lineRoom - (width + 2);
    std::vector<std::string> stateLines(1);
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string item = items[i] + (i + 1 < items.size() ? "," : "");
        std::string& last = stateLines.back();
        const size_t room = stateLines.size() == 1 ? cell : below;
        if (last.size() + (last.empty() ? 0 : 1) + item.size() <= room) {
            last += (last.empty() ? "" : " ") + item;
            continue;
        }
        // On a line of its own (also when not even one state fits left of DONE).
        stateLines.emplace_back();
        if (item.size() <= below) {
            stateLines.back() = item;
        } else {
            const std::vector<std::string> parts = wrapWords(item, below);
            stateLines.back() = parts.front();
            stateLines.insert(stateLines.end(), parts.begin() + 1, parts.end());
        }
    }
    char total[256];
    std::snprintf(total, sizeof total, "%s  %-*s  %5u  %6u", fitName("total", width).c_str(),
                  static_cast<int>(cell), stateLines.front().c_str(), done, failed);
    lines.push_back(cut(total, columns));
    for (size_t i = 1; i < stateLines.size(); ++i) {
        lines.push_back(cut(std::string(width + 2, ' ') + stateLines[i], columns));
    }
    // Under the states: the shift's yield, as the summary, the page and the report give it.
    lines.push_back(
        cut(std::string(width + 2, ' ') + "yield " + station::yieldText(boxes), columns));
    return lines;
}

std::vector<std::string> wrapLine(const std::string& text, int columns) {
    const size_t width = columns > 12 ? static_cast<size_t>(columns - 1) : 11;
    std::vector<std::string> lines = wrapWords(text, width);
    if (lines.size() > 1) {
        // The rest again, two columns narrower, indented so the event stands out.
        const std::string first = lines.front();
        std::string rest = text.substr(first.size());
        lines = wrapWords(rest, width - 2);
        for (std::string& line : lines) {
            line = "  " + line;
        }
        lines.insert(lines.begin(), first);
    }
    return lines;
}

void logEvent(std::FILE* out, const std::string& line) {
    std::string plain = line;
    for (char& c : plain) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    std::fprintf(out, "%s %s\n", isoTime(std::chrono::system_clock::now()).c_str(), plain.c_str());
    std::fflush(out);
}

StationDisplay::StationDisplay(std::vector<PortStatus*> ports, bool terminal, std::FILE* out)
    : ports_(std::move(ports)), terminal_(terminal && out == nullptr),
      out_(out != nullptr ? out : stderr) {}

void StationDisplay::addPort(PortStatus* port) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ports_.push_back(port);
}

void StationDisplay::event(const std::string& port, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    eraseLocked();
    const std::string line = (port.empty() ? std::string("station") : port) + ": " + text;
    if (terminal_) {
        // The terminal would break the line inside a word; a log keeps one line per event.
        for (const std::string& part : wrapLine(line, terminalColumns())) {
            std::fprintf(out_, "%s\n", part.c_str());
        }
    } else {
        // A pipe, a journal or a log file: one line per event, nothing that moves a cursor.
        logEvent(out_, line);
    }
    drawLocked();
    std::fflush(out_);
}

void StationDisplay::redraw() {
    if (!terminal_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    eraseLocked();
    drawLocked();
    std::fflush(out_);
}

void StationDisplay::footer(std::function<std::string()> line) {
    std::lock_guard<std::mutex> lock(mutex_);
    footer_ = std::move(line);
}

void StationDisplay::finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    eraseLocked();
    drawLocked();
    shownLines_ = 0;
    std::fflush(out_);
}

void StationDisplay::eraseLocked() {
    if (shownLines_ > 0) {
        // Up to the table's first line, then clear everything below.
        std::fprintf(out_, "\033[%dA\r\033[J", shownLines_);
        shownLines_ = 0;
    }
}

void StationDisplay::drawLocked() {
    if (!terminal_) {
        return;
    }
    std::string out;
    std::vector<std::string> lines = stationTable(ports_, nowMs(), terminalColumns());
    if (footer_) {
        if (std::string line = footer_(); !line.empty()) {
            lines.push_back(std::move(line));
        }
    }
    for (const std::string& line : lines) {
        out += line + "\n";
    }
    std::fputs(out.c_str(), out_);
    shownLines_ = static_cast<int>(lines.size());
}

} // namespace kestrune::cli
