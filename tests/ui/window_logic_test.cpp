#include "resources/resource_ids.h"
#include "ui/help_text.h"
#include "ui/window_logic.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace kestrune::ui;

namespace {

TEST(WindowGeometry, StartupSizeFollowsFontAndFrame) {
    // Wine's defaults: 3-pixel dialog frame, 7-pixel average width, 16-pixel font height.
    const Size size = mainWindowSize(3, 3, 7, 16);
    EXPECT_EQ(size.width, 2 * (3 + 280));
    EXPECT_EQ(size.height, 2 * (3 + 320 - 250));
    // A larger font makes a taller and wider window; 250 pixels come off the height.
    const Size big = mainWindowSize(4, 4, 8, 19);
    EXPECT_EQ(big.width, 648);
    EXPECT_EQ(big.height, 268);
}

TEST(WindowGeometry, ControlsFromClientRectangleAndCharacterCell) {
    const ControlLayout layout = layoutControls(556, 100, 8, 16);
    EXPECT_EQ(layout.startButton.x, 8);
    EXPECT_EQ(layout.startButton.y, 16);
    EXPECT_EQ(layout.startButton.width, 160);
    EXPECT_EQ(layout.startButton.height, 28);
    EXPECT_EQ(layout.progressBar.x, 40);
    EXPECT_EQ(layout.progressBar.y, 72); // below the 70-pixel banner, not over it
    EXPECT_EQ(layout.progressBar.width, 481);
    EXPECT_EQ(layout.progressBar.height, 20);
    EXPECT_EQ(layout.statusText.x, 421);
    EXPECT_EQ(layout.statusText.y, 30);
    EXPECT_EQ(layout.statusText.width, 130);
    EXPECT_EQ(layout.statusText.height, 20);
    // The button's height is 7/4 of a line, rounded down.
    EXPECT_EQ(layoutControls(556, 100, 8, 13).startButton.height, 22);
}

TEST(WindowGeometry, ProgressBarKeepsOffTheBannerWhenTheClientHasRoom) {
    struct Case {
        int clientHeight;
        int y;
    };
    const Case cases[] = {
        {100, 72}, // 40 above the bottom would be 60, inside the banner: just below it
        {92, 72},  // exactly room for the bar below the banner
        {91, 51},  // no room below the banner: 40 above the bottom after all
        {112, 72}, // 40 above the bottom is 72 already
        {113, 73}, {600, 560},
    };
    for (const Case& c : cases) {
        const Rect bar = layoutControls(556, c.clientHeight, 8, 16).progressBar;
        EXPECT_EQ(bar.y, c.y) << "client height " << c.clientHeight;
        EXPECT_LE(bar.y + bar.height, c.clientHeight) << "client height " << c.clientHeight;
    }
}

TEST(WindowGeometry, DetailsPaneLiesBelowNineLines) {
    const Rect pane = detailsPaneRect(556, 600, 16);
    EXPECT_EQ(pane.x, 0);
    EXPECT_EQ(pane.y, 144);
    EXPECT_EQ(pane.width, 556);
    EXPECT_EQ(pane.height, 456);
    // The start-up window is shorter than nine lines: the pane starts below the client area.
    EXPECT_GT(detailsPaneRect(556, 100, 16).y, 100);
}

TEST(WindowGeometry, DetailsTogglesBy500AndBack) {
    const DetailsToggle first = toggleDetails(145, false);
    EXPECT_EQ(first.height, 645);
    EXPECT_TRUE(first.enlarged);
    const DetailsToggle second = toggleDetails(first.height, first.enlarged);
    EXPECT_EQ(second.height, 145);
    EXPECT_FALSE(second.enlarged);
}

TEST(WindowGeometry, DialogsOpenBesideTheMainWindow) {
    const Point help = placeBeside({200, 100}, HELP_DIALOG_OFFSET);
    EXPECT_EQ(help.x, 295);
    EXPECT_EQ(help.y, 120);
    const Point com = placeBeside({200, 100}, COM_PORT_DIALOG_OFFSET);
    EXPECT_EQ(com.x, 335);
    EXPECT_EQ(com.y, 120);
    const Point restart = placeBeside({-10, 0}, RESTART_DIALOG_OFFSET);
    EXPECT_EQ(restart.x, 90);
    EXPECT_EQ(restart.y, 50);
}

TEST(WindowTexts, TitleQuotesTheFileAfterEightBlanks) {
    EXPECT_EQ(loadedWindowTitle("image.dl"),
              "Serial Download Server for Veltrano        \"image.dl\"");
    EXPECT_EQ(loadedWindowTitle(""), "Serial Download Server for Veltrano        \"\"");
}

TEST(WindowTexts, FileNameOfPathIsWhatFollowsTheLastSeparator) {
    struct Case {
        const char* path;
        const char* name;
    };
    const Case cases[] = {
        {"C:\\images\\sample.dl", "sample.dl"},
        {"Z:\\work\\a b\\long name.dl", "long name.dl"},
        {"Z:/unix/style.dl", "style.dl"},
        {"D:sample.dl", "sample.dl"},
        {"sample.dl", "sample.dl"},
        {"C:\\folder\\", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fileNameOfPath(c.path), c.name) << c.path;
    }
}

TEST(WindowTexts, OpenDialogErrorNamesTheCodeInDecimal) {
    EXPECT_EQ(commDlgErrorText(0x3003), "CommDlgExtendedError 12291");
    EXPECT_EQ(commDlgErrorText(0xFFFF), "CommDlgExtendedError 65535");
}

TEST(WindowTexts, OpenDialogFilterHoldsTwoPairs) {
    const char* p = OPEN_DIALOG_FILTER;
    std::vector<std::string> parts;
    while (*p != '\0') {
        parts.emplace_back(p);
        p += parts.back().size() + 1;
    }
    EXPECT_EQ(parts,
              (std::vector<std::string>{"Image files *.dl", "*.dl", "All files *.*", "*.*"}));
}

TEST(WindowTexts, PathBufferTakesAnyWindowsPath) {
    EXPECT_GE(PATH_BUFFER_SIZE, 260);
}

TEST(LampClick, WhiteAnywhereStarts) {
    EXPECT_TRUE(lampClickStartsDownload(0xFFFFFF, 215, 35));
    EXPECT_TRUE(lampClickStartsDownload(0xFFFFFF, 0, 0));
    EXPECT_TRUE(lampClickStartsDownload(0xFFFFFF, 500, -3));
}

TEST(LampClick, BlackStartsOnlyInsideTheLetters) {
    EXPECT_TRUE(lampClickStartsDownload(0, 205, 25));
    EXPECT_TRUE(lampClickStartsDownload(0, 225, 45));
    EXPECT_TRUE(lampClickStartsDownload(0, 215, 35));
    EXPECT_FALSE(lampClickStartsDownload(0, 204, 35));
    EXPECT_FALSE(lampClickStartsDownload(0, 226, 35));
    EXPECT_FALSE(lampClickStartsDownload(0, 215, 24));
    EXPECT_FALSE(lampClickStartsDownload(0, 215, 46));
}

TEST(LampClick, OtherColoursAndNoColourDoNothing) {
    EXPECT_FALSE(lampClickStartsDownload(0xFEFFFF, 215, 35));
    EXPECT_FALSE(lampClickStartsDownload(0x808080, 215, 35));
    EXPECT_FALSE(lampClickStartsDownload(0x000001, 215, 35));
    // GetPixel's "no colour" (outside the visible region, e.g. over a child control).
    EXPECT_FALSE(lampClickStartsDownload(0xFFFFFFFFu, 215, 35));
}

TEST(PortChoice, OnlyCom1CheckedSelectsCom1) {
    EXPECT_EQ(portChoiceFromDialog(true), 21);
    EXPECT_EQ(portChoiceFromDialog(false), 22);
    EXPECT_STREQ(portNameFor(21), "COM1");
    EXPECT_STREQ(portNameFor(22), "COM2");
    EXPECT_STREQ(portNameFor(0), "COM2");
}

TEST(MenuStates, IdleAndBusyAreMirrorImages) {
    const auto idle = downloadMenuStates(false);
    const auto busy = downloadMenuStates(true);
    ASSERT_EQ(idle.size(), busy.size());
    for (size_t i = 0; i < idle.size(); ++i) {
        EXPECT_EQ(idle[i].commandId, busy[i].commandId);
        EXPECT_NE(idle[i].enabled, busy[i].enabled) << idle[i].commandId;
        EXPECT_EQ(idle[i].enabled, idle[i].commandId != ID_DOWNLOAD_ABORT) << idle[i].commandId;
    }
}

std::vector<std::string> helpLines() {
    const std::string text = HELP_TEXT;
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text after the last CR LF";
    return lines;
}

TEST(HelpText, EveryLineEndsInCrLfAndTheTextInTwo) {
    const std::string text = HELP_TEXT;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            ASSERT_GT(i, 0u);
            EXPECT_EQ(text[i - 1], '\r') << "lone line feed at " << i;
        }
        if (text[i] == '\r') {
            ASSERT_LT(i + 1, text.size());
            EXPECT_EQ(text[i + 1], '\n') << "lone carriage return at " << i;
        }
    }
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
    const auto lines = helpLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_FALSE(lines[lines.size() - 2].empty()) << "more than two CR LF pairs at the end";
}

TEST(HelpText, TitleRuleAndSections) {
    const auto lines = helpLines();
    ASSERT_GT(lines.size(), 12u);
    EXPECT_EQ(lines[0], "Kestrune quick help text.");
    EXPECT_EQ(lines[1], std::string(113, '-'));
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "Equipment:");
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], "Computer with serial COM port.");
    EXPECT_EQ(lines[6], "Serial 9-pin null-modem cable.");
    EXPECT_EQ(lines[7], "Kestrune program.");
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[9], "Procedure:");
    EXPECT_EQ(lines[10], "");
}

TEST(HelpText, SixStepsWrappedWithTabBullets) {
    const auto lines = helpLines();
    int step = 0;
    std::vector<std::string> bullets;
    for (size_t i = 11; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        EXPECT_LE(line.size(), 72u) << line;
        if (!line.empty() && line[0] >= '1' && line[0] <= '9') {
            ++step;
            EXPECT_EQ(line.substr(0, 3), std::to_string(step) + ". ");
            EXPECT_EQ(lines[i - 1], "") << "step " << step << " not after an empty line";
        } else if (!line.empty() && line[0] == '\t') {
            bullets.push_back(line);
        }
    }
    EXPECT_EQ(step, 6);
    EXPECT_EQ(bullets, (std::vector<std::string>{"\t* bits/second: 19200", "\t* data bits: 8",
                                                 "\t* stop bits: 1", "\t* parity: none",
                                                 "\t* flow control: hardware (or maybe none)"}));
    const std::string text = HELP_TEXT;
    for (const char* phrase :
         {"\"Kestrune.exe\"", "\"sysSW.dl\"", "\"Options\"", "\"Open Image\"",
          "[typically sysSW.dl]", "\"imgforge\"", "\"Start Download\"", "15 minutes", "\"Exit\""}) {
        EXPECT_NE(text.find(phrase), std::string::npos) << phrase;
    }
}

} // namespace
