#pragma once

// The window's process-wide state. One instance (`app` in main_window.cpp), written by the main
// thread; the session thread only reads the plain 32-bit words.

#include "dsmcc/records.h"
#include "image/image_loader.h"
#include "ui/window_logic.h"

#include <cstdint>

namespace kestrune::ui {

struct AppState {
    int32_t portChoice = PORT_CHOICE_COM1;
    int32_t imageLoaded = 0;
    uint32_t imageSize = 0;
    int32_t serialPortInfoOn = 0;
    int32_t detailsEnlarged = 0;
    // No Help / Com port dialog is open.
    int32_t helpClosed = 1;
    int32_t comPortClosed = 1;
    // The operator's Start was accepted and the attempt is not over: no ready lamp.
    int32_t downloadArmed = 0;

    // Full path of the chosen image, kept between loads; the open dialog's file title.
    char path[PATH_BUFFER_SIZE] = {};
    char fileTitle[FILE_TITLE_BUFFER_SIZE] = {};

    // The loaded image: the module table of the response record points into its mapping.
    DownloadInfoResponse record{};
    DownloadImage image;
};

} // namespace kestrune::ui
