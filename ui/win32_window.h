#pragma once

// The Win32 main window and its dialogs: handles and the functions the files of the window
// share. Only ui/*_win32.cpp include this.

#include "dsmcc/records.h"
#include "ui/app_state.h"

#include <windows.h>

namespace kestrune::ui {

struct Win32Handles {
    HINSTANCE instance = nullptr;
    HWND mainWindow = nullptr;
    HMENU menu = nullptr;
    HWND detailsPane = nullptr;
    HWND startButton = nullptr;
    HWND progressBar = nullptr;
    HWND statusText = nullptr;
    HWND helpDialog = nullptr;
    HWND helpTextControl = nullptr;
    HWND comPortDialog = nullptr;
    HWND testLogWindow = nullptr;
    HWND testLogEdit = nullptr;
    HWND restartDialog = nullptr;
    HANDLE startEvent = nullptr;
    HBRUSH lampBrush = nullptr;
    HBITMAP banner = nullptr;
    int charWidth = 0;
    int charHeight = 0;
};

extern AppState app;
extern Win32Handles win;

LRESULT CALLBACK mainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
Size startupWindowSize();

// Dialog procedures.
INT_PTR CALLBACK testLogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK helpProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK comPortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK restartProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// A modeless dialog owned by the main window, shown.
HWND createOwnedDialog(int templateId, DLGPROC procedure);
// The message loop's keyboard for the open dialogs (Tab, arrows, Enter, Escape): true when one
// of them took the message.
bool routeToOpenDialog(MSG& message);

// Menu items and the Start download button for an idle or a running download.
void applyDownloadMenuStates(bool busy);
void drawReadyLamp();

// The wake-up's Start download, posted by the timer tick when the box's byte has arrived. A
// message of its own, so that an Abort can take it back out of the queue.
constexpr UINT WM_WAKEUP_START = WM_APP + 1;
// Posted by the session after a piece of Test Log text: the log is drawn shortly after.
constexpr UINT WM_LOG_TYPED = WM_APP + 2;
// The whole Test Log edit control (text and scroll bars), queued.
void drawTestLog();

// The download control (download_control_win32.cpp). createDownloadControl() once, at window
// creation, before the timer runs.
void createDownloadControl();
// The loaded image's record, read by the session; and imageSize, the progress denominator.
DownloadInfoResponse& imageRecord();
void setImageSize(uint32_t size);
// Start accepted and the attempt not over: no ready lamp on repaint.
bool downloadArmed();
// A session thread exists (from the wake-up's Start to Abort).
bool sessionRunning();
// downloadArmed and stallTicks := 0 (an open-file dialog that failed).
void clearDownloadCounters();
void onDownloadStart();
void onDownloadAbort();
void onDownloadTick();
// Exit: the session thread ended, the ports closed.
void endDownloadForExit();

} // namespace kestrune::ui
