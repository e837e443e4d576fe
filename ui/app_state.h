#pragma once

// The window's process-wide state. One instance (`app` in main_window.cpp), written by the main
// thread. The image record and imageSize live in the download's session context (see
// imageRecord() in win32_window.h), which the session thread reads.

#include "image/image_loader.h"
#include "ui/window_logic.h"

#include <cstdint>

namespace kestrune::ui {

struct AppState {
    int32_t portChoice = PORT_CHOICE_COM1;
    int32_t imageLoaded = 0;
    int32_t serialPortInfoOn = 0;
    int32_t detailsEnlarged = 0;
    // No Help / Com port dialog is open.
    int32_t helpClosed = 1;
    int32_t comPortClosed = 1;

    // Full path of the chosen image, kept between loads; the open dialog's file title.
    char path[PATH_BUFFER_SIZE] = {};
    char fileTitle[FILE_TITLE_BUFFER_SIZE] = {};

    // The loaded image's mapping: the module rows of the image record point into it.
    DownloadImage image;
};

} // namespace kestrune::ui
