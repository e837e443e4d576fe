#include "link/pause.h"

#include <windows.h>

namespace kestrune {

void SystemPauser::pause(uint32_t ms) {
    Sleep(ms);
}

} // namespace kestrune
