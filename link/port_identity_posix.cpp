#include "link/port_identity.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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

namespace kestrune {
namespace {

std::string firstLine(const std::string& path) {
    std::string line;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, f) != nullptr) {
            line = buffer;
        }
        std::fclose(f);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// The USB device above a tty holds its serial number; the tty's device is an interface (or a
// port under one), so the number is a level or two up.
std::string usbSerialOf(const std::string& node) {
    const size_t slash = node.rfind('/');
    const std::string tty = "/sys/class/tty/" + node.substr(slash + 1) + "/device";
    for (const char* up : {"/../serial", "/../../serial", "/../../../serial"}) {
        const std::string serial = firstLine(tty + up);
        if (!serial.empty()) {
            return serial;
        }
    }
    return "";
}

} // namespace

PortDevice portDevice(const std::string& port) {
    PortDevice device;
    device.key = portIdentity(port);
    char resolved[PATH_MAX];
    if (::realpath(port.c_str(), resolved) == nullptr) {
        return device;
    }
    struct stat st {};
    if (::stat(resolved, &st) == 0) {
        device.madeNs = int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    }
    const std::string byId = "/dev/serial/by-id";
    if (DIR* dir = ::opendir(byId.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = byId + "/" + entry->d_name;
            char target[PATH_MAX];
            if (entry->d_name[0] != '.' && ::realpath(name.c_str(), target) != nullptr &&
                std::strcmp(target, resolved) == 0) {
                device.byId = name;
                break;
            }
        }
        ::closedir(dir);
    }
    device.usbSerial = usbSerialOf(resolved);
    return device;
}

} // namespace kestrune
