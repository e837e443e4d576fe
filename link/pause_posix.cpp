#include "link/pause.h"

#include <cerrno>
#include <ctime>

namespace kestrune {

void SystemPauser::pause(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // A signal must not shorten the pause.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace kestrune
