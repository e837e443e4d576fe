#include "resources/resource_ids.h"
#include "ui/help_text.h"
#include "ui/win32_window.h"

namespace kestrune::ui {

namespace {

// Moves a dialog beside the main window, keeping its size.
void placeDialog(HWND dialog, Point offset) {
    RECT mainFrame;
    RECT own;
    GetWindowRect(win.mainWindow, &mainFrame);
    GetWindowRect(dialog, &own);
    const Point at = placeBeside({mainFrame.left, mainFrame.top}, offset);
    MoveWindow(dialog, at.x, at.y, own.right - own.left, own.bottom - own.top, TRUE);
}

// Help and Com port are made anew by every command that opens one: closing destroys the
// dialog (ending a modeless dialog only hides it, and the hidden ones piled up).
void closeModeless(HWND dialog) {
    DestroyWindow(dialog);
}

void fillClient(HWND control, LPARAM sizeParam) {
    if (control != nullptr) {
        MoveWindow(control, 0, 0, LOWORD(sizeParam), HIWORD(sizeParam), TRUE);
    }
}

} // namespace

INT_PTR CALLBACK testLogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        win.testLogEdit = GetDlgItem(dialog, IDC_TEST_LOG_EDIT);
        return TRUE;
    case WM_SIZE:
        // Whatever the size type, the window stays open; only the edit follows.
        fillClient(win.testLogEdit, lParam);
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK helpProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        win.helpTextControl = GetDlgItem(dialog, IDC_HELP_TEXT);
        SetWindowTextA(win.helpTextControl, HELP_TEXT);
        placeDialog(dialog, HELP_DIALOG_OFFSET);
        app.helpClosed = 0;
        return TRUE;
    case WM_COMMAND:
        // OK is the only way out: Escape and Cancel are ignored.
        if (LOWORD(wParam) == IDOK) {
            app.helpClosed = 1;
            closeModeless(dialog);
            return TRUE;
        }
        return FALSE;
    case WM_SIZE:
        fillClient(win.helpTextControl, lParam);
        return TRUE;
    case WM_DESTROY:
        app.helpClosed = 1;
        win.helpDialog = nullptr;
        win.helpTextControl = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK comPortProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        placeDialog(dialog, COM_PORT_DIALOG_OFFSET);
        CheckDlgButton(dialog, app.portChoice, BST_CHECKED);
        app.comPortClosed = 0;
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            app.portChoice =
                portChoiceFromDialog(IsDlgButtonChecked(dialog, IDC_COM1) == BST_CHECKED);
            app.comPortClosed = 1;
            closeModeless(dialog);
            return TRUE;
        case IDCANCEL:
            app.comPortClosed = 1;
            closeModeless(dialog);
            return TRUE;
        default:
            return FALSE;
        }
    case WM_DESTROY:
        app.comPortClosed = 1;
        win.comPortDialog = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK restartProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        placeDialog(dialog, RESTART_DIALOG_OFFSET);
        applyDownloadMenuStates(true);
        return TRUE;
    case WM_COMMAND:
        // Only takes the message off the screen: the watch for the box goes on.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

bool routeToOpenDialog(MSG& message) {
    for (HWND dialog : {win.helpDialog, win.comPortDialog, win.restartDialog, win.testLogWindow}) {
        if (dialog != nullptr && IsDialogMessageA(dialog, &message)) {
            return true;
        }
    }
    return false;
}

} // namespace kestrune::ui
