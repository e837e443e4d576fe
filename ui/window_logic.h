#pragma once

// The main window's arithmetic and decisions, kept free of any platform header so that native
// tests cover them. The Win32 window only measures, asks these functions and applies the
// answers.

#include <array>
#include <cstdint>
#include <string>

namespace kestrune::ui {

constexpr const char MAIN_WINDOW_TITLE[] = "Serial Download Server for Veltrano";
constexpr const char WINDOW_CLASS_NAME[] = "Kestrune";
constexpr const char CLASS_MENU_NAME[] = "IDR_SERIAL_MENU";
constexpr const char INCORRECT_FORMAT_TEXT[] = "Incorrect file format!\r\n";
constexpr const char OPEN_DIALOG_TITLE[] = "Open image";
// Filter pairs of the open-file dialog, each string NUL-terminated, the list ended by a
// second NUL.
constexpr const char OPEN_DIALOG_FILTER[] = "Image files *.dl\0*.dl\0All files *.*\0*.*\0";
constexpr const char OPEN_DIALOG_DEFAULT_EXT[] = "dl";
constexpr const char LAMP_TEXT[] = "OK";

// Buffers of the Load image command. The path buffer takes any Windows path (MAX_PATH
// characters): a smaller one makes the dialog refuse long paths and the previous path load.
// The file-title buffers take any file name (at most 255 characters): a smaller one made the
// title lookup fail after the load, and the window went on naming the previous image.
constexpr int PATH_BUFFER_SIZE = 260;
constexpr int FILE_TITLE_BUFFER_SIZE = 260;
constexpr int TITLE_FILE_NAME_SIZE = 260;

constexpr int DETAILS_TEXT_LIMIT = 32000;
constexpr int DETAILS_TAB_STOP = 120; // dialog units, one value: a stop every 120 units
constexpr int DETAILS_HEIGHT_STEP = 500;
constexpr unsigned TIMER_ID = 1;
constexpr unsigned TIMER_PERIOD_MS = 100;

// Port choice: the ids of the Com port dialog's radio buttons.
constexpr int PORT_CHOICE_COM1 = 21;
constexpr int PORT_CHOICE_COM2 = 22;

struct Size {
    int width;
    int height;
};

struct Rect {
    int x;
    int y;
    int width;
    int height;
};

struct Point {
    int x;
    int y;
};

// The start-up size from the display's default font (average character width, height without
// leading) and the dialog-frame metrics.
Size mainWindowSize(int dialogFrameWidth, int dialogFrameHeight, int averageCharWidth,
                    int fontHeight);

// Where the child controls go, from the client rectangle at creation and the fixed-pitch
// system font's measures (charHeight includes the external leading). The progress bar sits
// 40 pixels above the client's bottom, but never over the banner when there is room below it.
struct ControlLayout {
    Rect startButton;
    Rect progressBar;
    Rect statusText;
};
ControlLayout layoutControls(int clientWidth, int clientHeight, int charWidth, int charHeight);

// The details pane fills the client area below nine text lines; recomputed on every resize.
Rect detailsPaneRect(int clientWidth, int clientHeight, int charHeight);

// The title after a successful load: the plain title, eight blanks, the file title quoted.
std::string loadedWindowTitle(const char* fileTitle);

// The file name at the end of a path (after the last '\\', '/' or drive colon): the title
// when the platform cannot give one, so the title never names an image other than the one
// just loaded.
std::string fileNameOfPath(const char* path);

std::string commDlgErrorText(unsigned long code);

// A left-button press on the main window's own surface at (x, y) whose pixel has the
// colour `rgb` (0x00BBGGRR as the platform reports it; anything above 0xFFFFFF is "no
// colour"): white anywhere, or black inside the lamp's letters, starts a download.
bool lampClickStartsDownload(uint32_t rgb, int x, int y);

// The ready lamp, in client pixels.
constexpr Rect LAMP_ELLIPSE{200, 20, 30, 30};
constexpr Point LAMP_TEXT_ORIGIN{205, 27};
// The banner: a 390 x 70 area copied from the 360 x 70 bitmap.
constexpr Size BANNER_AREA{390, 70};
constexpr int PROGRESS_BANNER_GAP = 2;

// Dialogs open beside the main window, offset from its top-left corner.
constexpr Point HELP_DIALOG_OFFSET{95, 20};
constexpr Point COM_PORT_DIALOG_OFFSET{135, 20};
constexpr Point RESTART_DIALOG_OFFSET{100, 50};
Point placeBeside(Point mainTopLeft, Point offset);

// The Details command: the window grows by 500 pixels, then shrinks back.
struct DetailsToggle {
    int height;
    bool enlarged; // also whether the menu item is checked
};
DetailsToggle toggleDetails(int windowHeight, bool enlarged);

// Com port dialog OK: only "Com 1" is examined; any other state stores 22.
int portChoiceFromDialog(bool com1Checked);
// The serial port a port choice selects.
const char* portNameFor(int portChoice);

// Menu items whose enable state follows the download: idle after start-up and after Abort,
// busy from the restart dialog on. The Start download button follows the same rule.
struct MenuItemState {
    int commandId;
    bool enabled;
};
std::array<MenuItemState, 4> downloadMenuStates(bool busy);

} // namespace kestrune::ui
