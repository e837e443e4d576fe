// Start download, Abort download and the timer tick, as far as the idle window needs them.
// The download control (wake-up watch, session thread, stall watchdog) plugs in here.

#include "resources/resource_ids.h"
#include "session/download_control.h"
#include "ui/win32_window.h"

namespace kestrune::ui {

void onDownloadStart() {
    if (app.imageLoaded == 0) {
        MessageBoxA(win.mainWindow, CONTROL_MISSING_FILE_TEXT, CONTROL_MISSING_FILE_CAPTION,
                    MB_ICONERROR);
        SendMessageA(win.mainWindow, WM_COMMAND, ID_FILE_LOADIMAGE, 0);
        return;
    }
    app.downloadArmed = 1;
}

void onDownloadAbort() {
    app.downloadArmed = 0;
    applyDownloadMenuStates(false);
    EnableWindow(win.startButton, TRUE);
    drawReadyLamp();
}

void onDownloadTick() {}

} // namespace kestrune::ui
