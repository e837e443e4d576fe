#pragma once

// The Win32 main window and its dialogs: handles and the functions the files of the window
// share. Only ui/*_win32.cpp include this.

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

// Menu items and the Start download button for an idle or a running download.
void applyDownloadMenuStates(bool busy);
void drawReadyLamp();

// The download commands and the timer tick.
void onDownloadStart();
void onDownloadAbort();
void onDownloadTick();

} // namespace kestrune::ui
