#include "common/system_error.h"

#include <cerrno>
#include <cstring>

namespace kestrune {

std::string systemErrorText(int code) {
    char text[256];
    // The GNU strerror_r returns its text (in `text` or a static string), never fails.
    return ::strerror_r(code, text, sizeof text);
}

int lastSystemError() {
    return errno;
}

} // namespace kestrune
