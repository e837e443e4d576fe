#include "link/port_identity.h"

#include <strings.h>
#include <sys/stat.h>

namespace kestrune {

std::string portIdentity(const std::string& port) {
    std::string path = port;
    if (strcasecmp(port.c_str(), "COM1") == 0) {
        path = "/dev/ttyS0";
    } else if (strcasecmp(port.c_str(), "COM2") == 0) {
        path = "/dev/ttyS1";
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return "name:" + port;
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        return "device:" + std::to_string(st.st_rdev);
    }
    return "file:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

} // namespace kestrune
