#include "dsmcc/codec.h"
#include "image/details_report.h"
#include "resources/resource_ids.h"
#include "ui/win32_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <string>
#include <windowsx.h>

namespace kestrune::ui {

AppState app;
Win32Handles win;

namespace {

HWND createChild(const char* className, const char* text, DWORD style, const Rect& rect, int id) {
    return CreateWindowA(className, text, style, rect.x, rect.y, rect.width, rect.height,
                         win.mainWindow, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                         win.instance, nullptr);
}

void onCreate(HWND hwnd) {
    win.mainWindow = hwnd;
    win.startEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    createDownloadControl();

    HDC dc = GetDC(hwnd);
    SelectObject(dc, GetStockObject(SYSTEM_FIXED_FONT));
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    ReleaseDC(hwnd, dc);
    win.charWidth = metrics.tmAveCharWidth;
    win.charHeight = metrics.tmHeight + metrics.tmExternalLeading;

    win.detailsPane = createChild("edit", nullptr,
                                  WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
                                      ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL,
                                  Rect{0, 0, 0, 0}, IDC_DETAILS_PANE);
    SendMessageA(win.detailsPane, EM_LIMITTEXT, DETAILS_TEXT_LIMIT, 0);
    int tabStop = DETAILS_TAB_STOP;
    SendMessageA(win.detailsPane, EM_SETTABSTOPS, 1, reinterpret_cast<LPARAM>(&tabStop));

    EnableMenuItem(win.menu, ID_DOWNLOAD_ABORT, MF_BYCOMMAND | MF_GRAYED);
    app.path[0] = '\0';
    app.fileTitle[0] = '\0';

    if (SetTimer(hwnd, TIMER_ID, TIMER_PERIOD_MS, nullptr) != TIMER_ID) {
        MessageBoxA(nullptr, "Failed to install timer.", "Error", MB_ICONERROR | MB_TASKMODAL);
        PostQuitMessage(0);
    }

    InitCommonControls();
    RECT client;
    GetClientRect(hwnd, &client);
    const ControlLayout layout =
        layoutControls(client.right, client.bottom, win.charWidth, win.charHeight);
    win.progressBar = createChild(PROGRESS_CLASSA, nullptr, WS_CHILD, layout.progressBar, 0);
    win.startButton = createChild("button", "Start download", WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                                  layout.startButton, ID_DOWNLOAD_START);
    win.statusText =
        createChild("static", "", WS_CHILD | WS_TABSTOP, layout.statusText, IDC_STATUS_TEXT);

    win.lampBrush = CreateSolidBrush(RGB(255, 255, 255));
    win.banner = LoadBitmapA(win.instance, MAKEINTRESOURCEA(IDB_BANNER));
}

void onSize(int width, int height) {
    const Rect pane = detailsPaneRect(width, height, win.charHeight);
    MoveWindow(win.detailsPane, pane.x, pane.y, pane.width, pane.height, TRUE);
    UpdateWindow(win.detailsPane);
}

void paintBanner() {
    // A device context of its own, so the banner is drawn whole, not only the update region.
    HDC dc = GetDC(win.mainWindow);
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, win.banner);
    BitBlt(dc, 0, 0, BANNER_AREA.width, BANNER_AREA.height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    ReleaseDC(win.mainWindow, dc);
}

void onPaint(HWND hwnd) {
    PAINTSTRUCT paint;
    BeginPaint(hwnd, &paint);
    paintBanner();
    if (!downloadArmed()) {
        drawReadyLamp();
    }
    EndPaint(hwnd, &paint);
    UpdateWindow(win.detailsPane);
}

void onLeftButtonDown(HWND hwnd, LPARAM lParam) {
    const int x = GET_X_LPARAM(lParam);
    const int y = GET_Y_LPARAM(lParam);
    HDC dc = GetDC(hwnd);
    const COLORREF colour = GetPixel(dc, x, y);
    ReleaseDC(hwnd, dc);
    if (lampClickStartsDownload(colour, x, y)) {
        PostMessageA(hwnd, WM_COMMAND, ID_DOWNLOAD_START, 0);
    }
}

void onLoadImage() {
    // The running session reads the image's mapping; the menu item is grayed then, and a
    // command that arrives anyway must not unmap it.
    if (sessionRunning()) {
        return;
    }
    OPENFILENAMEA request{};
    request.lStructSize = sizeof request;
    request.hwndOwner = win.mainWindow;
    request.lpstrFilter = OPEN_DIALOG_FILTER;
    request.nFilterIndex = 1;
    request.lpstrFile = app.path;
    request.nMaxFile = sizeof app.path;
    request.lpstrFileTitle = app.fileTitle;
    request.nMaxFileTitle = sizeof app.fileTitle;
    request.lpstrTitle = OPEN_DIALOG_TITLE;
    request.Flags = OFN_FILEMUSTEXIST;
    request.lpstrDefExt = OPEN_DIALOG_DEFAULT_EXT;
    // A cancel leaves the earlier path in the buffer, and that file is loaded again.
    GetOpenFileNameA(&request);

    const DWORD dialogError = CommDlgExtendedError();
    if (dialogError != 0) {
        clearDownloadCounters();
        MessageBoxA(nullptr, commDlgErrorText(dialogError).c_str(), "", MB_OK);
    }

    if (!loadImage(imageRecord(), app.path, app.image)) {
        SetWindowTextA(win.detailsPane, INCORRECT_FORMAT_TEXT);
        app.imageLoaded = 0;
        return;
    }
    app.imageLoaded = 1;
    setImageSize(app.image.size());

    // The title and the details pane change together with the loaded image, whatever the
    // platform says: a command that stopped here kept naming the previous image.
    char fileName[TITLE_FILE_NAME_SIZE];
    const std::string title = GetFileTitleA(app.path, fileName, sizeof fileName) == 0
                                  ? loadedWindowTitle(fileName)
                                  : loadedWindowTitle(fileNameOfPath(app.path).c_str());
    SetWindowTextA(win.mainWindow, title.c_str());

    initResponseHeader(imageRecord());
    const std::string report = detailsReport(imageRecord());
    SetWindowTextA(win.detailsPane, report.c_str());
}

bool menuItemChecked(int id) {
    return (GetMenuState(win.menu, id, MF_BYCOMMAND) & MF_CHECKED) != 0;
}

// Toggles a check mark by rewriting the item with its mnemonic label.
bool toggleMenuCheck(int id, const char* label) {
    const bool checked = !menuItemChecked(id);
    ModifyMenuA(win.menu, id, MF_BYCOMMAND | MF_STRING | (checked ? MF_CHECKED : MF_UNCHECKED), id,
                label);
    return checked;
}

void onDetails() {
    toggleMenuCheck(ID_OPTIONS_DETAILS, "&Details");
    RECT frame;
    GetWindowRect(win.mainWindow, &frame);
    const DetailsToggle next = toggleDetails(frame.bottom - frame.top, app.detailsEnlarged != 0);
    MoveWindow(win.mainWindow, frame.left, frame.top, frame.right - frame.left, next.height, TRUE);
    app.detailsEnlarged = next.enlarged ? 1 : 0;
}

void onSerialPortInfo() {
    if (toggleMenuCheck(ID_OPTIONS_SERIALPORTINFO, "&Serialport info")) {
        app.serialPortInfoOn = 1;
    } else {
        app.serialPortInfoOn = 0;
        if (win.testLogWindow != nullptr) {
            ShowWindow(win.testLogWindow, SW_HIDE);
        }
    }
}

// Help and Com port: at most one of each; a second command brings the open one forward.
void openOrActivate(int32_t closed, HWND& dialog, int templateId, DLGPROC procedure) {
    if (closed == 1) {
        dialog = createOwnedDialog(templateId, procedure);
    } else {
        SetActiveWindow(dialog);
    }
}

void onExit() {
    endDownloadForExit();
    PostQuitMessage(0);
}

void onCommand(int id) {
    switch (id) {
    case ID_FILE_LOADIMAGE:
        onLoadImage();
        break;
    case ID_FILE_EXIT:
        onExit();
        break;
    case ID_DOWNLOAD_START:
        onDownloadStart();
        break;
    case ID_DOWNLOAD_ABORT:
        onDownloadAbort();
        break;
    case ID_OPTIONS_COMPORT:
        openOrActivate(app.comPortClosed, win.comPortDialog, IDD_COM_PORT, comPortProc);
        break;
    case ID_OPTIONS_HELP:
        openOrActivate(app.helpClosed, win.helpDialog, IDD_HELP, helpProc);
        break;
    case ID_OPTIONS_DETAILS:
        onDetails();
        break;
    case ID_OPTIONS_SERIALPORTINFO:
        onSerialPortInfo();
        break;
    default: // About and anything else: nothing.
        break;
    }
}

void onDestroy(HWND hwnd) {
    // The process ends with the loop: a session thread ended by the process's own end could be
    // inside a window call, whose lock the end still needs.
    endDownloadForExit();
    KillTimer(hwnd, TIMER_ID);
    DeleteObject(win.lampBrush);
    PostQuitMessage(0);
}

// The Test Log's drawing after the session typed into it: one timer, a little after the first
// piece of text.
constexpr UINT_PTR LOG_DRAW_TIMER_ID = 2;
constexpr UINT LOG_DRAW_DELAY_MS = 20;
bool logDrawPending = false;

} // namespace

void drawTestLog() {
    if (win.testLogEdit != nullptr) {
        RedrawWindow(win.testLogEdit, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE);
    }
}

void drawReadyLamp() {
    HDC dc = GetDC(win.mainWindow);
    HGDIOBJ oldBrush = SelectObject(dc, win.lampBrush);
    const Rect& lamp = LAMP_ELLIPSE;
    Ellipse(dc, lamp.x, lamp.y, lamp.x + lamp.width, lamp.y + lamp.height);
    TextOutA(dc, LAMP_TEXT_ORIGIN.x, LAMP_TEXT_ORIGIN.y, LAMP_TEXT, sizeof LAMP_TEXT - 1);
    SelectObject(dc, oldBrush);
    ReleaseDC(win.mainWindow, dc);
}

void applyDownloadMenuStates(bool busy) {
    for (const MenuItemState& item : downloadMenuStates(busy)) {
        EnableMenuItem(win.menu, item.commandId,
                       MF_BYCOMMAND | (item.enabled ? MF_ENABLED : MF_GRAYED));
    }
}

HWND createOwnedDialog(int templateId, DLGPROC procedure) {
    HWND dialog = CreateDialogParamA(win.instance, MAKEINTRESOURCEA(templateId), win.mainWindow,
                                     procedure, 0);
    ShowWindow(dialog, SW_SHOW);
    return dialog;
}

Size startupWindowSize() {
    HDC info = CreateICA("DISPLAY", nullptr, nullptr, nullptr);
    TEXTMETRICA metrics{};
    GetTextMetricsA(info, &metrics);
    DeleteDC(info);
    return mainWindowSize(GetSystemMetrics(SM_CXDLGFRAME), GetSystemMetrics(SM_CYDLGFRAME),
                          metrics.tmAveCharWidth, metrics.tmHeight);
}

LRESULT CALLBACK mainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        onCreate(hwnd);
        return 0;
    case WM_SIZE:
        onSize(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_PAINT:
        onPaint(hwnd);
        return 0;
    case WM_COMMAND:
        onCommand(LOWORD(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == TIMER_ID) {
            onDownloadTick();
        } else if (wParam == LOG_DRAW_TIMER_ID) {
            KillTimer(hwnd, LOG_DRAW_TIMER_ID);
            logDrawPending = false;
            drawTestLog();
        }
        return 0;
    case WM_LOG_TYPED:
        // The first piece since the last drawing sets the time; those that follow within it
        // are drawn with it.
        if (!logDrawPending) {
            logDrawPending = SetTimer(hwnd, LOG_DRAW_TIMER_ID, LOG_DRAW_DELAY_MS, nullptr) != 0;
            if (!logDrawPending) {
                drawTestLog();
            }
        }
        return 0;
    case WM_WAKEUP_START:
        onDownloadStart();
        return 0;
    case WM_LBUTTONDOWN:
        onLeftButtonDown(hwnd, lParam);
        return 0;
    case WM_DESTROY:
        onDestroy(hwnd);
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

} // namespace kestrune::ui
