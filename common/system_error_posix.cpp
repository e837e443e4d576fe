#include "common/system_error.h"

#include <cerrno>
#include <cstring>

namespace kestrune {

std::string systemErrorText(CrtError error) {
    char text[256];
    // The GNU strerror_r returns its text (in `text` or a static string), never fails.
    return ::strerror_r(error.code, text, sizeof text);
}

SystemError lastSystemError() {
    return CrtError{errno};
}

} // namespace kestrune
