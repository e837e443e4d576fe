#ifndef _WIN32
// A USB serial adapter's latency on Linux: sysfs tells whether a tty is on the usb-serial bus
// and, for drivers that have one (ftdi_sio), its latency timer as the attribute
// latency_timer of the port's device; the driver's low-latency flag is set on the open port
// with TIOCSSERIAL. Everything here works in fixed buffers, so that opening the download port
// allocates nothing.

#include "link/adapter_latency.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

namespace {

// `a` then `b` into `out`; false when it does not fit.
template <size_t N> bool join(char (&out)[N], const char* a, const char* b) {
    const int length = std::snprintf(out, N, "%s%s", a, b);
    return length >= 0 && size_t(length) < N;
}

const char* baseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// The last part of what the symbolic link `path` points to ("usb-serial" for a device's
// "subsystem" link) into `name`; false when it is not a link.
bool linkName(const char* path, char* name, size_t size) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path, target, sizeof target - 1);
    if (length <= 0) {
        return false;
    }
    target[length] = '\0';
    // A name longer than `name` is not one we look for: no link, rather than a cut name.
    const int written = std::snprintf(name, size, "%s", baseName(target));
    return written >= 0 && static_cast<size_t>(written) < size;
}

// The machine's root folder `root` resolved ("" for the machine itself) into `base`.
bool resolveRoot(const char* root, char (&base)[PATH_MAX]) {
    base[0] = '\0';
    if (root[0] == '\0' || std::strcmp(root, "/") == 0) {
        return true;
    }
    if (::realpath(root, base) == nullptr) {
        return false;
    }
    if (std::strcmp(base, "/") == 0) {
        base[0] = '\0';
    }
    return true;
}

// What the system tells about the adapter behind `device`.
struct Adapter {
    char folder[PATH_MAX];   // its usb-serial device folder, resolved
    char name[NAME_MAX + 1]; // the tty's name ("ttyUSB0")
    char driver[64];
};

// Whether `device` (a name under `base`, links followed) is a tty on the usb-serial bus.
bool findAdapter(const char* base, const char* device, Adapter& adapter) {
    char path[PATH_MAX];
    char node[PATH_MAX];
    if (!join(path, base, device) || ::realpath(path, node) == nullptr) {
        return false;
    }
    // Nodes of the machine's /dev only; sysfs names a node in a subfolder with '!' for '/'.
    const size_t baseLength = std::strlen(base);
    if (std::strncmp(node, base, baseLength) != 0 || std::strncmp(node + baseLength, "/dev/", 5)) {
        return false;
    }
    std::snprintf(adapter.name, sizeof adapter.name, "%s", node + baseLength + 5);
    for (char* c = adapter.name; *c != '\0'; ++c) {
        *c = *c == '/' ? '!' : *c;
    }
    std::snprintf(path, sizeof path, "%s/sys/class/tty/%s/device", base, adapter.name);
    if (::realpath(path, adapter.folder) == nullptr) {
        return false;
    }
    char bus[64];
    if (!join(path, adapter.folder, "/subsystem") || !linkName(path, bus, sizeof bus) ||
        std::strcmp(bus, "usb-serial") != 0) {
        return false;
    }
    if (!join(path, adapter.folder, "/driver") ||
        !linkName(path, adapter.driver, sizeof adapter.driver)) {
        adapter.driver[0] = '\0';
    }
    return true;
}

// The number in a small sysfs attribute; -1 when it cannot be read.
int readNumber(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char text[16];
    const ssize_t length = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (length <= 0) {
        return -1;
    }
    text[length] = '\0';
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || value < 0 || value > 255) {
        return -1;
    }
    return static_cast<int>(value);
}

bool writeNumber(const char* path, int value) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%d\n", value);
    const bool written = ::write(fd, text, size_t(length)) == length;
    return ::close(fd) == 0 && written;
}

// Whether this user may write the attribute. A sysfs attribute without any write bit has no
// store function, and then not even root can change it.
bool mayWrite(const char* path) {
    struct stat info;
    if (::stat(path, &info) != 0 || (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        return false;
    }
    return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0;
}

} // namespace

LatencyFacts readLatencyFactsUnder(const std::string& root, const std::string& port) {
    LatencyFacts facts;
    char base[PATH_MAX];
    Adapter found;
    if (!resolveRoot(root.c_str(), base) || !findAdapter(base, port.c_str(), found)) {
        return facts;
    }
    facts.adapter = true;
    facts.driver = found.driver;
    const std::string timer = std::string(found.folder) + "/latency_timer";
    facts.timerMs = readNumber(timer.c_str());
    if (facts.timerMs >= 0) {
        facts.control =
            mayWrite(timer.c_str()) ? LatencyControl::Program : LatencyControl::NoPermission;
        facts.where = "/sys/bus/usb-serial/devices/" + std::string(found.name) + "/latency_timer";
    }
    return facts;
}

LatencyFacts readLatencyFacts(const std::string& port) {
    return readLatencyFactsUnder("", port);
}

DownloadLatency::DownloadLatency(const char* root) {
    std::snprintf(root_, sizeof root_, "%s", root);
}

void DownloadLatency::lower(int fd, const char* device) {
    savedTimer_ = -1;
    flagSet_ = false;
    timerPath_[0] = '\0';
    char base[PATH_MAX];
    Adapter adapter;
    if (!resolveRoot(root_, base) || !findAdapter(base, device, adapter)) {
        std::snprintf(action_, sizeof action_, "not a USB adapter");
        return;
    }
    // The timer first: while the flag is set, ftdi_sio reports 1 ms whatever the timer is.
    char timer[PATH_MAX];
    const int before = join(timer, adapter.folder, "/latency_timer") ? readNumber(timer) : -1;
    int length = 0;
    if (before < 0) {
        length = std::snprintf(action_, sizeof action_, "no latency timer");
    } else if (before <= LOW_LATENCY_MS) {
        length = std::snprintf(action_, sizeof action_, "latency timer %d ms", before);
    } else if (mayWrite(timer) && join(timerPath_, timer, "") &&
               writeNumber(timer, LOW_LATENCY_MS)) {
        savedTimer_ = before;
        length = std::snprintf(action_, sizeof action_, "latency timer %d ms -> %d ms", before,
                               LOW_LATENCY_MS);
    } else {
        length =
            std::snprintf(action_, sizeof action_, "latency timer %d ms (not writable)", before);
    }
    const size_t at = length < 0 ? 0 : std::min(size_t(length), sizeof action_ - 1);

    // A pseudo-terminal or a driver without serial settings answers ENOTTY or EINVAL.
    serial_struct settings;
    std::memset(&settings, 0, sizeof settings);
    const char* flag = "";
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0) {
        flag = errno == ENOTTY || errno == EINVAL ? "not a serial driver (no low-latency flag)"
                                                  : "low-latency flag not readable";
    } else if ((settings.flags & ASYNC_LOW_LATENCY) != 0) {
        flag = "low-latency flag already set";
    } else {
        settings.flags |= ASYNC_LOW_LATENCY;
        flagSet_ = ::ioctl(fd, TIOCSSERIAL, &settings) == 0;
        flag = flagSet_ ? "low-latency flag set" : "low-latency flag refused";
    }
    std::snprintf(action_ + at, sizeof action_ - at, ", %s", flag);
}

void DownloadLatency::restore(int fd) {
    // The flag first: clearing it makes ftdi_sio send its timer value to the adapter again,
    // which the write below then sets back to what it was.
    if (flagSet_) {
        serial_struct settings;
        std::memset(&settings, 0, sizeof settings);
        if (::ioctl(fd, TIOCGSERIAL, &settings) == 0) {
            settings.flags &= ~ASYNC_LOW_LATENCY;
            ::ioctl(fd, TIOCSSERIAL, &settings);
        }
        flagSet_ = false;
    }
    if (savedTimer_ >= 0) {
        // An adapter unplugged meanwhile has taken its attribute with it.
        writeNumber(timerPath_, savedTimer_);
        savedTimer_ = -1;
    }
}

} // namespace kestrune
#endif
