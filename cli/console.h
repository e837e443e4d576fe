#pragma once

// What the command line prints about one port: lines on standard error, each starting with the
// port, and on a terminal one progress bar redrawn in place that fits the terminal's width.

#include "cli/terminal.h"
#include "common/text.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace kestrune::cli {

// One line of the progress bar, at most `columns` - 1 characters: port, bar, percentage,
// image bytes of the total, rate. `shownBytes` never passes `totalBytes`.
std::string progressLine(const char* port, uint64_t shownBytes, uint64_t totalBytes, double seconds,
                         int columns);

class Console {
public:
    Console(const char* port, bool quiet);

    // A message with a caption ("Download complete: ..."): each line of the text on its own
    // line, prefixed by the port. Printed even when quiet.
    void message(const char* caption, const char* text);
    // A status line, left out when quiet.
    void info(const char* text);

    // The download's size in module bytes.
    void progressStart(uint64_t totalBytes);
    // After every frame sent, the module bytes the box has acknowledged: the bar on a terminal,
    // a line per tenth of the download otherwise.
    void progress(uint64_t acknowledged);
    // Ends the bar with one summary line (bytes acknowledged, time, rate) when one was shown.
    void progressEnd(uint64_t acknowledged);

private:
    void endBarLocked();

    const char* port_;
    bool quiet_;
    bool tty_;
    bool barShown_ = false;
    std::mutex mutex_;
    uint64_t imageSize_ = 0;
    uint64_t lastBytes_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDraw_{};
    int lastDecile_ = -1;
};

} // namespace kestrune::cli
