#ifndef _WIN32
// The serial ports of a Linux machine, from sysfs and /dev: every tty whose device has a driver
// bound (which leaves out virtual consoles and pseudo-terminals), and the stable names udev
// makes in /dev/serial/by-id for USB adapters. Only files are read; no port is opened, so
// listing never touches a line a box may be on and needs no permission on the devices.

#include "link/port_list.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

namespace {

bool exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

// The resolved path of `path`, or "" when it does not resolve.
std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) {
        return "";
    }
    return buffer;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// The last part of the symbolic link `path` points to ("ftdi_sio" for a device's "driver"
// link), or "" when it is not a link.
std::string linkName(const std::string& path) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0) {
        return "";
    }
    return std::filesystem::path(std::string(buffer, size_t(length))).filename().string();
}

// The first line of a small sysfs attribute, "" when it cannot be read.
std::string attribute(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        return "";
    }
    line.erase(line.find_last_not_of(" \t\r") + 1);
    return line;
}

// The names in a folder, without "." and "..". Returns 0 or errno.
int folderNames(const std::string& path, std::vector<std::string>& names) {
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) {
        return errno;
    }
    while (const dirent* entry = ::readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(folder);
    return 0;
}

// The driver that says what the port is. Since Linux 6.5 a serial_core port's device is a
// "port" device on the serial-base bus under a "ctrl" device of the same bus; the driver
// worth naming (serial, serial8250, 8250_pci, ...) is the one of the device above them.
std::string driverName(const std::string& device, const std::string& devicesFolder) {
    const std::string own = linkName(device + "/driver");
    if (linkName(device + "/subsystem") != "serial-base") {
        return own;
    }
    for (std::string folder = parentOf(device); folder.size() > devicesFolder.size();
         folder = parentOf(folder)) {
        if (linkName(folder + "/subsystem") != "serial-base") {
            const std::string driver = linkName(folder + "/driver");
            return driver.empty() ? own : driver;
        }
    }
    return own;
}

// "FTDI FT232R USB UART (0403:6001)" from the USB device the port belongs to: the nearest
// folder above the port's device that has an idVendor. "" when it is not on USB.
std::string usbDescription(const std::string& device, const std::string& devicesFolder) {
    for (std::string folder = device; folder.size() > devicesFolder.size();
         folder = parentOf(folder)) {
        const std::string vendor = attribute(folder + "/idVendor");
        if (vendor.empty()) {
            continue;
        }
        const std::string manufacturer = attribute(folder + "/manufacturer");
        const std::string product = attribute(folder + "/product");
        std::string text = manufacturer;
        // Many adapters repeat the maker in the product name ("FTDI" + "FTDI USB Serial").
        if (!product.empty() && product.compare(0, manufacturer.size(), manufacturer) != 0) {
            text += text.empty() ? "" : " ";
            text += product;
        } else if (!product.empty()) {
            text = product;
        }
        text += text.empty() ? "" : " ";
        text += "(" + vendor + ":" + attribute(folder + "/idProduct") + ")";
        return text;
    }
    return "";
}

// "I/O 0x3F8, IRQ 4" or "memory 0xFE215040, IRQ 29" for a serial_core port (its tty has
// these attributes); "" otherwise.
std::string uartDescription(const std::string& tty) {
    const std::string irq = attribute(tty + "/irq");
    const std::string port = attribute(tty + "/port");
    const std::string memory = attribute(tty + "/iomem_base");
    std::string text;
    if (!port.empty() && port != "0x0" && port != "0") {
        text = "I/O " + port;
    } else if (!memory.empty() && memory != "0x0" && memory != "0") {
        text = "memory " + memory;
    }
    if (!text.empty() && !irq.empty() && irq != "0") {
        text += ", IRQ " + irq;
    }
    return text;
}

// Whether the tty is a serial_core port without a UART behind it. The 8250 driver registers
// a fixed number of ttyS ports whether or not there is hardware for them; the kernel marks an
// empty one with the port type PORT_UNKNOWN (0), which sysfs shows as the tty's "type"
// attribute. Reading that attribute, rather than TIOCGSERIAL on the open device, keeps the
// listing free of opens and of permissions on /dev. Ports that are not serial_core (USB
// adapters, ACM modems) have no such attribute and stay.
bool noUart(const std::string& tty) {
    const std::string type = attribute(tty + "/type");
    return type == "0";
}

} // namespace

int listSerialPortsUnder(const std::string& root, std::vector<PortInfo>& ports,
                         std::string& error) {
    ports.clear();
    std::string base;
    if (!root.empty() && root != "/") {
        base = resolved(root);
        if (base.empty()) {
            const int code = errno;
            error = root + ": " + std::strerror(code);
            return code;
        }
        if (base == "/") {
            base.clear();
        }
    }
    const std::string classFolder = base + "/sys/class/tty";
    const std::string devicesFolder = base + "/sys/devices";
    std::vector<std::string> ttys;
    if (const int code = folderNames(classFolder, ttys); code != 0) {
        error = "cannot read " + classFolder + ": " + std::strerror(code);
        return code;
    }
    for (const std::string& name : ttys) {
        const std::string tty = classFolder + "/" + name;
        // A device in a subfolder of /dev has '!' for the '/' in its sysfs name.
        std::string node = "/dev/" + name;
        std::replace(node.begin(), node.end(), '!', '/');
        // No driver: a virtual console, a pseudo-terminal or an unbound device. No node: a
        // port of the host that this container (or chroot) cannot reach.
        if (!exists(tty + "/device/driver") || !exists(base + node) || noUart(tty)) {
            continue;
        }
        const std::string device = resolved(tty + "/device");
        PortInfo port;
        port.name = node;
        port.driver = driverName(device, devicesFolder);
        port.description = usbDescription(device, devicesFolder);
        if (port.description.empty()) {
            port.description = uartDescription(tty);
        }
        ports.push_back(std::move(port));
    }

    // udev's stable names: by-id (the adapter) and by-path (the socket it is plugged into, the
    // name a fixture's slot keeps after an adapter swap); a link whose device is gone (or
    // outside /dev) leads nowhere.
    for (const char* kind : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
        const std::string folder = base + kind;
        std::vector<std::string> links;
        folderNames(folder, links);
        for (const std::string& link : links) {
            const std::string target = resolved(folder + "/" + link);
            if (target.compare(0, base.size() + 5, base + "/dev/") != 0) {
                continue;
            }
            const std::string node = target.substr(base.size());
            const std::string alias = std::string(kind) + "/" + link;
            bool found = false;
            for (PortInfo& port : ports) {
                if (port.name == node) {
                    port.aliases.push_back(alias);
                    found = true;
                }
            }
            if (!found) {
                ports.push_back(PortInfo{node, "", "", {alias}});
            }
        }
    }
    sortPorts(ports);
    return 0;
}

int listSerialPorts(std::vector<PortInfo>& ports, std::string& error) {
    return listSerialPortsUnder("", ports, error);
}

} // namespace kestrune
#endif
