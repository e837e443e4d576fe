#include "session/progress_reporter.h"
#include "tests/support/quiet_reporter.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune {
namespace {

TEST(FormatProgress, TextAndPercent) {
    struct Case {
        uint32_t sent, size;
        const char* text;
        int percent;
    };
    const Case cases[] = {
        {1, 3, "Download 33.3 %", 33},
        {1001, 1000, "Download 100.0 %", 100},
        {2500, 1000, "Download 100.0 %", 250},
        {1000, 1000, "Download 100.0 %", 100},
        {999, 1000, "Download 99.9 %", 99},
        {0, 1000, "Download 0.0 %", 0},
        {2, 3, "Download 66.7 %", 66},
        // No image: no division by zero, nothing reported as done.
        {5, 0, "Download 0.0 %", 0},
        // A tiny image and a huge count: the bar value saturates instead of overflowing.
        {0xFFFFFFFFu, 1, "Download 100.0 %", 0x7FFFFFFF},
    };
    for (const Case& c : cases) {
        char text[32];
        std::memset(text, 'x', sizeof text);
        int percent = -1;
        formatProgress(c.sent, c.size, text, sizeof text, &percent);
        EXPECT_STREQ(text, c.text) << c.sent << "/" << c.size;
        EXPECT_EQ(percent, c.percent) << c.sent << "/" << c.size;
    }

    // A short buffer is cut and still terminated.
    char small[10];
    int percent = 0;
    formatProgress(1, 3, small, sizeof small, &percent);
    EXPECT_STREQ(small, "Download ");
    char exact[17];
    formatProgress(1001, 1000, exact, sizeof exact, &percent);
    EXPECT_STREQ(exact, "Download 100.0 %");
}

// Each frame sent: the bar, then the text, then the stall counter reset, as the window's
// watchdog expects them.
TEST(FrameSent, BarTextAndStallResetInOrder) {
    struct Calls final : test::QuietReporter {
        std::vector<std::string> calls;
        void postProgress(int percent) override { calls.push_back(std::to_string(percent)); }
        void setStatusText(const char* text) override { calls.emplace_back(text); }
        void resetStallTicks() override { calls.emplace_back("reset"); }
    } reporter;
    FrameProgress& progress = reporter;
    progress.frameSent(427, 1000);
    EXPECT_EQ(reporter.calls, (std::vector<std::string>{"42", "Download 42.7 %", "reset"}));
}

} // namespace
} // namespace kestrune
