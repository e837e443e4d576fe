#include "common/system_error.h"

#include <cerrno>

namespace kestrune {

CrtError lastCrtError() {
    return CrtError{errno != 0 ? errno : EIO};
}

} // namespace kestrune
