#pragma once

// The serial ports of this machine, as `kestrune-cli ports` lists them: the names an operator
// passes to --port. One implementation per platform (port_list_posix.cpp, port_list_win32.cpp);
// sorting and the table are shared (port_list.cpp).

#include <cstddef>
#include <string>
#include <vector>

namespace kestrune {

struct PortInfo {
    // What --port takes: "/dev/ttyUSB0", "COM3".
    std::string name;
    // The kernel driver behind the port ("ftdi_sio", "cdc_acm", "serial"); empty on Windows.
    std::string driver;
    // Whatever is cheap to know: "FTDI FT232R USB UART (0403:6001)", "I/O 0x3F8, IRQ 4",
    // "\Device\Serial0"; empty when nothing is.
    std::string description;
    // Stable names that lead to the same port (/dev/serial/by-id/...), sorted.
    std::vector<std::string> aliases;
};

// Fills `ports` with this machine's serial ports, sorted by name. Returns 0, or the system's
// error code when the ports could not be looked for at all (`error` then says what failed);
// no ports at all is not an error.
int listSerialPorts(std::vector<PortInfo>& ports, std::string& error);

#ifdef _WIN32
// The two sources listSerialPorts joins, each on its own and unsorted: the registry's SERIALCOMM
// device map, and the COM names among the DOS devices (asked for with room for `room`
// characters first, more when they do not fit). Each returns 0 or the system's error code
// (the map: ERROR_FILE_NOT_FOUND when no driver has entered a port).
int deviceMapPorts(std::vector<PortInfo>& ports);
int dosDevicePorts(std::vector<PortInfo>& ports, size_t room = 16384);
#else
// The same, reading `root`/sys and `root`/dev instead of /sys and /dev ("" or "/" is the
// machine itself). Names in the result are as the machine would see them: "/dev/ttyUSB0".
int listSerialPortsUnder(const std::string& root, std::vector<PortInfo>& ports, std::string& error);
#endif

// Whether `a` sorts before `b` with runs of digits compared by value, so that ttyS2 comes
// before ttyS10 and COM9 before COM10.
bool portNameLess(const std::string& a, const std::string& b);

// Sorts by name and merges entries of the same name (their aliases are joined).
void sortPorts(std::vector<PortInfo>& ports);

// The listing, one line per port: name, driver and description in aligned columns, the
// aliases in parentheses at the end; no trailing spaces.
std::vector<std::string> portTable(const std::vector<PortInfo>& ports);

} // namespace kestrune
