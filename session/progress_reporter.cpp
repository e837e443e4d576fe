#include "session/progress_reporter.h"

#include <charconv>
#include <climits>

namespace kestrune {
namespace {

// Appends a NUL-terminated piece, cutting it at the end of the buffer.
uint32_t append(char* text, uint32_t textSize, uint32_t used, const char* piece, uint32_t n) {
    for (uint32_t i = 0; i < n && used + 1 < textSize; ++i) {
        text[used++] = piece[i];
    }
    return used;
}

} // namespace

void formatProgress(uint32_t bytesSent, uint32_t imageSize, char* text, uint32_t textSize,
                    int* percent) {
    double ratio = 0.0;
    *percent = 0;
    if (imageSize != 0) {
        const double bar = static_cast<double>(bytesSent) * 100.0 / imageSize;
        // Far beyond any real download, but the cast must not overflow.
        *percent = bar < static_cast<double>(INT_MAX) ? static_cast<int>(bar) : INT_MAX;
        ratio = static_cast<double>(bytesSent) / imageSize * 100.0;
    }

    // One decimal, rounded as "%.1f" would; no locale, no allocation, no lock.
    char number[32];
    auto [end, ec] =
        std::to_chars(number, number + sizeof number, ratio, std::chars_format::fixed, 1);
    uint32_t numberLength = ec == std::errc() ? static_cast<uint32_t>(end - number) : 0;

    // Read the number back in tenths (the text has exactly one decimal) and cap it at 100.0.
    uint64_t tenths = 0;
    for (uint32_t i = 0; i < numberLength; ++i) {
        if (number[i] >= '0' && number[i] <= '9') {
            tenths = tenths * 10 + static_cast<uint64_t>(number[i] - '0');
        }
    }
    static constexpr char capped[] = "100.0";
    const char* shown = number;
    // (to_chars cannot fail here: 32 bytes hold any ratio of two 32-bit counts.)
    if (numberLength == 0 || tenths > 1000) {
        shown = capped;
        numberLength = sizeof capped - 1;
    }

    if (textSize == 0) {
        return;
    }
    static constexpr char prefix[] = "Download ";
    static constexpr char suffix[] = " %";
    uint32_t used = append(text, textSize, 0, prefix, sizeof prefix - 1);
    used = append(text, textSize, used, shown, numberLength);
    used = append(text, textSize, used, suffix, sizeof suffix - 1);
    text[used] = '\0';
}

void ProgressReporter::frameSent(uint32_t bytesSent, uint32_t imageSize) {
    char text[32];
    int percent = 0;
    formatProgress(bytesSent, imageSize, text, sizeof text, &percent);
    postProgress(percent);
    setStatusText(text);
    resetStallTicks();
}

} // namespace kestrune
