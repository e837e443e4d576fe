#include "ui/window_logic.h"

#include "resources/resource_ids.h"

#include <cstdio>

namespace kestrune::ui {

Size mainWindowSize(int dialogFrameWidth, int dialogFrameHeight, int averageCharWidth,
                    int fontHeight) {
    return {2 * (dialogFrameWidth + 40 * averageCharWidth),
            2 * (dialogFrameHeight + 20 * fontHeight - 250)};
}

ControlLayout layoutControls(int clientWidth, int clientHeight, int charWidth, int charHeight) {
    ControlLayout layout{};
    layout.startButton = {charWidth, charHeight, 20 * charWidth, (7 * charHeight) / 4};
    layout.progressBar = {40, clientHeight - 40, clientWidth - 75, 20};
    // At common font sizes the client area is about 100 pixels tall and the bar would cover
    // the bottom of the banner: it goes just below the banner when the client has room.
    const int belowBanner = BANNER_AREA.height + PROGRESS_BANNER_GAP;
    if (layout.progressBar.y < belowBanner && belowBanner + 20 <= clientHeight) {
        layout.progressBar.y = belowBanner;
    }
    layout.statusText = {clientWidth - 135, clientHeight - 70, 130, 20};
    return layout;
}

Rect detailsPaneRect(int clientWidth, int clientHeight, int charHeight) {
    return {0, 9 * charHeight, clientWidth, clientHeight - 9 * charHeight};
}

std::string loadedWindowTitle(const char* fileTitle) {
    std::string title = MAIN_WINDOW_TITLE;
    title += "        \"";
    title += fileTitle;
    title += '"';
    return title;
}

std::string fileNameOfPath(const char* path) {
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/' || *c == ':') {
            name = c + 1;
        }
    }
    return name;
}

std::string commDlgErrorText(unsigned long code) {
    char text[48];
    std::snprintf(text, sizeof text, "CommDlgExtendedError %d", static_cast<int>(code));
    return text;
}

bool lampClickStartsDownload(uint32_t rgb, int x, int y) {
    if (rgb == 0xFFFFFFu) {
        return true;
    }
    return rgb == 0 && x >= 205 && x <= 225 && y >= 25 && y <= 45;
}

Point placeBeside(Point mainTopLeft, Point offset) {
    return {mainTopLeft.x + offset.x, mainTopLeft.y + offset.y};
}

DetailsToggle toggleDetails(int windowHeight, bool enlarged) {
    if (enlarged) {
        return {windowHeight - DETAILS_HEIGHT_STEP, false};
    }
    return {windowHeight + DETAILS_HEIGHT_STEP, true};
}

int portChoiceFromDialog(bool com1Checked) {
    return com1Checked ? PORT_CHOICE_COM1 : PORT_CHOICE_COM2;
}

const char* portNameFor(int portChoice) {
    return portChoice == PORT_CHOICE_COM1 ? "COM1" : "COM2";
}

std::array<MenuItemState, 4> downloadMenuStates(bool busy) {
    return {{{ID_DOWNLOAD_START, !busy},
             {ID_DOWNLOAD_ABORT, busy},
             {ID_FILE_LOADIMAGE, !busy},
             {ID_OPTIONS_COMPORT, !busy}}};
}

} // namespace kestrune::ui
