#include "cli/console.h"

#include <cstring>

namespace kestrune::cli {

using Clock = std::chrono::steady_clock;

namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

} // namespace

std::string progressLine(const char* port, uint64_t shownBytes, uint64_t totalBytes, double seconds,
                         int columns) {
    if (shownBytes > totalBytes) {
        shownBytes = totalBytes;
    }
    const double fraction = totalBytes != 0 ? static_cast<double>(shownBytes) / totalBytes : 0.0;
    const double rate = seconds > 0.05 ? shownBytes / seconds : 0.0;
    const std::string head = std::string(port) + ": ";
    const std::string percent = format("%5.1f %%", fraction * 100.0);
    const std::string bytes = "  " + groupDigits(shownBytes) + "/" + groupDigits(totalBytes);
    const std::string speed = rate > 0.0 ? format("  %.1f kB/s", rate / 1000.0) : "";
    std::string left;
    if (rate > 0.0 && shownBytes < totalBytes) {
        const auto s = static_cast<unsigned long>((totalBytes - shownBytes) / rate);
        char text[32];
        std::snprintf(text, sizeof text, "  %lu:%02lu left", s / 60, s % 60);
        left = text;
    }

    // What does not fit goes, least useful first: the time left, the rate, the bar's length
    // down to 10, the byte counts, the bar.
    const int width = columns - 1; // the last column would wrap on some terminals
    const auto length = [&](int bar) {
        return static_cast<int>(head.size() + (bar > 0 ? bar + 3 : 0) + percent.size() +
                                bytes.size() + speed.size() + left.size());
    };
    if (length(10) > width) {
        left.clear();
    }
    std::string shownSpeed = speed;
    std::string shownCounts = bytes;
    if (length(10) > width) {
        shownSpeed.clear();
    }
    const auto fits = [&](int bar) {
        return static_cast<int>(head.size() + (bar > 0 ? bar + 3 : 0) + percent.size() +
                                shownCounts.size() + shownSpeed.size() + left.size()) <= width;
    };
    int bar = 30;
    while (bar > 10 && !fits(bar)) {
        --bar;
    }
    if (!fits(bar)) {
        shownCounts.clear();
    }
    if (!fits(bar)) {
        bar = 0;
    }

    std::string line = head;
    if (bar > 0) {
        const int filled = static_cast<int>(fraction * bar);
        line += '[';
        line.append(static_cast<size_t>(filled), '#');
        line.append(static_cast<size_t>(bar - filled), '.');
        line += "] ";
    }
    line += percent;
    line += shownCounts;
    line += shownSpeed;
    line += left;
    if (static_cast<int>(line.size()) > width && width > 0) {
        line.resize(static_cast<size_t>(width));
    }
    return line;
}

Console::Console(const char* port, bool quiet)
    : port_(port), quiet_(quiet), tty_(stderrIsTerminal()) {}

void Console::message(const char* caption, const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    endBarLocked();
    std::string out;
    const char* line = text;
    for (bool first = true; line != nullptr; first = false) {
        const char* end = std::strchr(line, '\n');
        out += port_;
        out += ": ";
        if (first && caption != nullptr) {
            out += caption;
            out += ": ";
        }
        out.append(line, end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line));
        out += '\n';
        line = end != nullptr ? end + 1 : nullptr;
    }
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
}

void Console::info(const char* text) {
    if (!quiet_) {
        message(nullptr, text);
    }
}

void Console::progressStart(uint64_t totalBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    imageSize_ = totalBytes;
    lastBytes_ = 0;
    started_ = Clock::now();
    lastDraw_ = {};
    lastDecile_ = -1;
}

void Console::progress(uint64_t acknowledged) {
    if (quiet_) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    lastBytes_ = acknowledged;
    const uint64_t shown = acknowledged < imageSize_ ? acknowledged : imageSize_;
    if (!tty_) {
        // Plain lines for logs and pipes: one per tenth of the download.
        const int decile = imageSize_ != 0 ? static_cast<int>(shown * 10 / imageSize_) : 10;
        if (decile != lastDecile_) {
            lastDecile_ = decile;
            std::fprintf(stderr, "%s: Download %.1f %%\n", port_,
                         imageSize_ != 0 ? 100.0 * static_cast<double>(shown) / imageSize_ : 0.0);
            std::fflush(stderr);
        }
        return;
    }
    // A terminal is redrawn at most every 50 ms: small blocks would otherwise flood it.
    const Clock::time_point now = Clock::now();
    if (barShown_ && shown < imageSize_ && now - lastDraw_ < std::chrono::milliseconds(50)) {
        return;
    }
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const std::string line = progressLine(port_, shown, imageSize_, seconds, terminalColumns());
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    barShown_ = true;
}

void Console::progressEnd(uint64_t acknowledged) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastBytes_ = acknowledged;
    endBarLocked();
}

void Console::endBarLocked() {
    if (!barShown_) {
        return;
    }
    barShown_ = false;
    const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    const uint64_t shown = lastBytes_ < imageSize_ ? lastBytes_ : imageSize_;
    std::fprintf(stderr, "\r\033[K%s: %s of %s module bytes acknowledged in %.1f s (%.1f kB/s)\n",
                 port_, groupDigits(shown).c_str(), groupDigits(imageSize_).c_str(), seconds,
                 seconds > 0.05 ? static_cast<double>(shown) / seconds / 1000.0 : 0.0);
    std::fflush(stderr);
}

} // namespace kestrune::cli
