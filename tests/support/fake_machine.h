#pragma once

// A Linux machine's sysfs and /dev in a temporary folder, for the code that reads them with
// an injectable root (link/port_list_posix.cpp, link/adapter_latency_posix.cpp).

#include "tests/support/test_files.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace kestrune::fake {

namespace fs = std::filesystem;

// A machine's /sys and /dev in a temporary folder. Paths given to it are as the machine sees
// them ("/sys/class/tty/ttyS0"); links are made relative, as sysfs and udev make them.
class FakeMachine {
public:
    std::string root() const { return folder_.path().string(); }

    void dir(const std::string& path) { fs::create_directories(at(path)); }
    void file(const std::string& path, const std::string& text) {
        fs::create_directories(at(path).parent_path());
        std::ofstream(at(path)) << text << '\n';
    }
    void link(const std::string& path, const std::string& target) {
        fs::create_directories(at(path).parent_path());
        fs::remove(at(path));
        fs::create_symlink(fs::path(target).lexically_relative(fs::path(path).parent_path()),
                           at(path));
    }
    // A device folder on `bus`, bound to `driver` unless that is "".
    void device(const std::string& path, const std::string& bus, const std::string& driver) {
        dir(path);
        dir("/sys/bus/" + bus + "/drivers/" + (driver.empty() ? "." : driver));
        link(path + "/subsystem", "/sys/bus/" + bus);
        if (!driver.empty()) {
            link(path + "/driver", "/sys/bus/" + bus + "/drivers/" + driver);
        }
    }
    // A tty of `device` ("" for a virtual one), with its node in /dev unless `node` is false.
    // Returns its sysfs folder.
    std::string tty(const std::string& name, const std::string& device, bool node = true) {
        const std::string folder =
            (device.empty() ? "/sys/devices/virtual/tty" : device + "/tty") + "/" + name;
        dir(folder);
        if (!device.empty()) {
            link(folder + "/device", device);
        }
        link("/sys/class/tty/" + name, folder);
        if (node) {
            file("/dev/" + name, "");
        }
        return folder;
    }
    void byId(const std::string& name, const std::string& node) {
        link("/dev/serial/by-id/" + name, node);
    }
    void byPath(const std::string& name, const std::string& node) {
        link("/dev/serial/by-path/" + name, node);
    }

private:
    fs::path at(const std::string& path) const {
        return folder_.path() / fs::path(path).relative_path();
    }
    TestFolder folder_;
};

inline const std::string PCI_USB = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

// A USB device with its descriptor strings (left out when ""); returns its folder.
inline std::string usbDevice(FakeMachine& m, const std::string& port, const std::string& ids,
                             const std::string& manufacturer, const std::string& product) {
    const std::string folder = PCI_USB + "/" + port;
    m.device(folder, "usb", "usb");
    m.file(folder + "/idVendor", ids.substr(0, 4));
    m.file(folder + "/idProduct", ids.substr(5));
    if (!manufacturer.empty()) {
        m.file(folder + "/manufacturer", manufacturer);
    }
    if (!product.empty()) {
        m.file(folder + "/product", product);
    }
    return folder;
}

// A USB-serial converter: usb device / interface / port device (usb-serial bus) / tty.
// Returns the port device's folder (where a driver's latency_timer is).
inline std::string usbSerial(FakeMachine& m, const std::string& name, const std::string& driver,
                             const std::string& port, const std::string& ids,
                             const std::string& manufacturer, const std::string& product,
                             bool node = true) {
    const std::string usb = usbDevice(m, port, ids, manufacturer, product);
    const std::string interface = usb + "/" + port + ":1.0";
    m.device(interface, "usb", driver);
    m.device(interface + "/" + name, "usb-serial", driver);
    m.tty(name, interface + "/" + name, node);
    return interface + "/" + name;
}

// A CDC ACM modem: the tty hangs off the USB interface itself.
inline void acm(FakeMachine& m, const std::string& name, const std::string& port,
                const std::string& ids, const std::string& manufacturer,
                const std::string& product) {
    const std::string interface =
        usbDevice(m, port, ids, manufacturer, product) + "/" + port + ":1.0";
    m.device(interface, "usb", "cdc_acm");
    m.tty(name, interface);
}

} // namespace kestrune::fake
