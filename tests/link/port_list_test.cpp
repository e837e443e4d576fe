// The port listing: on Linux against fake sysfs and /dev trees laid out as the kernel and udev
// lay them out (real folders, files and relative symbolic links in a temporary folder); the
// shared order and table in both builds.

#include "link/port_list.h"
#include "tests/support/fake_machine.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune {
namespace {

TEST(PortNameOrder, NumbersCompareByValue) {
    struct Case {
        const char* a;
        const char* b;
        bool less;
    };
    const Case cases[] = {
        {"/dev/ttyS2", "/dev/ttyS10", true},
        {"/dev/ttyS10", "/dev/ttyS2", false},
        {"COM9", "COM10", true},
        {"COM10", "COM9", false},
        {"COM3", "COM3", false},
        {"/dev/ttyACM0", "/dev/ttyS0", true},
        {"/dev/ttyS0", "/dev/ttyUSB0", true},
        {"/dev/ttyUSB1", "/dev/ttyUSB1a", true},
        {"/dev/ttyUSB1a", "/dev/ttyUSB1", false},
        {"/dev/ttyUSB1", "/dev/ttyUSB01", false},
        {"/dev/ttyUSB01", "/dev/ttyUSB1", true},
        {"/dev/ttyUSB007", "/dev/ttyUSB10", true},
        {"/dev/ttyS1x2", "/dev/ttyS1x10", true},
        {"", "COM1", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(portNameLess(c.a, c.b), c.less) << '"' << c.a << "\" < \"" << c.b << '"';
    }
}

TEST(PortSorting, MergesEntriesOfOneName) {
    std::vector<PortInfo> ports = {
        {"COM10", "", "\\Device\\VCP0", {}},
        {"/dev/ttyUSB0", "", "", {"/dev/serial/by-id/usb-b"}},
        {"COM2", "", "\\Device\\Serial1", {}},
        {"/dev/ttyUSB0", "ftdi_sio", "FTDI", {"/dev/serial/by-id/usb-a"}},
        {"/dev/ttyUSB0", "", "", {"/dev/serial/by-id/usb-b"}},
    };
    sortPorts(ports);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].name, "/dev/ttyUSB0");
    EXPECT_EQ(ports[0].driver, "ftdi_sio");
    EXPECT_EQ(ports[0].description, "FTDI");
    EXPECT_EQ(ports[0].aliases,
              (std::vector<std::string>{"/dev/serial/by-id/usb-a", "/dev/serial/by-id/usb-b"}));
    EXPECT_EQ(ports[1].name, "COM2");
    EXPECT_EQ(ports[2].name, "COM10");
}

TEST(PortTable, WithoutDriversNoEmptyColumn) {
    const std::vector<PortInfo> ports = {
        {"COM2", "", "\\Device\\Serial1", {}},
        {"COM12", "", "\\Device\\VCP0", {}},
        {"COM13", "", "", {}},
    };
    EXPECT_EQ(portTable(ports), (std::vector<std::string>{
                                    "COM2   \\Device\\Serial1",
                                    "COM12  \\Device\\VCP0",
                                    "COM13",
                                }));
}

#ifdef _WIN32
bool hasPort(const std::vector<PortInfo>& ports, const std::string& name) {
    return std::any_of(ports.begin(), ports.end(),
                       [&](const PortInfo& p) { return p.name == name; });
}

// The build's Wine prefix maps COM1 and COM2; Wine enters both in the device map and the DOS
// devices (with any host ttyS ports after them).
TEST(WindowsPortList, BothSourcesListTheMappedPorts) {
    std::vector<PortInfo> mapped;
    ASSERT_EQ(deviceMapPorts(mapped), 0);
    // Room for 16 characters: the list is asked for again, larger, until it fits.
    std::vector<PortInfo> dos;
    ASSERT_EQ(dosDevicePorts(dos, 16), 0);
    for (const char* name : {"COM1", "COM2"}) {
        EXPECT_TRUE(hasPort(mapped, name)) << name;
        EXPECT_TRUE(hasPort(dos, name)) << name;
    }
    EXPECT_EQ(dos.size(), mapped.size());
    for (const PortInfo& port : mapped) {
        EXPECT_EQ(port.description.rfind("\\Device\\", 0), 0u) << port.name;
        for (const PortInfo& other : dos) {
            if (other.name == port.name) {
                EXPECT_EQ(other.description, port.description) << port.name;
            }
        }
    }

    std::vector<PortInfo> ports;
    std::string error;
    ASSERT_EQ(listSerialPorts(ports, error), 0) << error;
    ASSERT_EQ(ports.size(), mapped.size());
    EXPECT_EQ(ports[0].name, "COM1");
    EXPECT_EQ(ports[1].name, "COM2");
}
#else
namespace fs = std::filesystem;

using namespace fake;

void uartAttributes(FakeMachine& m, const std::string& tty, int type, const std::string& port,
                    const std::string& memory, int irq) {
    m.file(tty + "/type", std::to_string(type));
    m.file(tty + "/port", port);
    m.file(tty + "/iomem_base", memory);
    m.file(tty + "/irq", std::to_string(irq));
}

// A serial_core port as Linux 6.5 and later show it: controller device / serial-base ctrl /
// serial-base port / tty.
void uartNew(FakeMachine& m, const std::string& name, const std::string& controller,
             const std::string& bus, const std::string& driver, int type, const std::string& port,
             const std::string& memory, int irq) {
    m.device(controller, bus, driver);
    const std::string ctrl = controller + "/" + fs::path(controller).filename().string() + ":0";
    m.device(ctrl, "serial-base", "ctrl");
    m.device(ctrl + "/" + fs::path(ctrl).filename().string() + ".0", "serial-base", "port");
    uartAttributes(m, m.tty(name, ctrl + "/" + fs::path(ctrl).filename().string() + ".0"), type,
                   port, memory, irq);
}

// A serial_core port as older kernels show it: the tty hangs off the controller device.
void uartOld(FakeMachine& m, const std::string& name, const std::string& controller,
             const std::string& bus, const std::string& driver, int type, const std::string& port,
             int irq) {
    m.device(controller, bus, driver);
    uartAttributes(m, m.tty(name, controller), type, port, "0x0", irq);
}

const std::string FTDI_ID = "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";

TEST(LinuxPortList, Listings) {
    struct Case {
        const char* what;
        std::function<void(FakeMachine&)> build;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"a USB adapter with its stable name",
         [](FakeMachine& m) {
             usbSerial(m, "ttyUSB0", "ftdi_sio", "1-2", "0403:6001", "FTDI", "FT232R USB UART");
             m.byId(FTDI_ID, "/dev/ttyUSB0");
         },
         {"/dev/ttyUSB0  ftdi_sio  FTDI FT232R USB UART (0403:6001) (/dev/serial/by-id/" + FTDI_ID +
          ")"}},
        {"the socket's by-path name beside the adapter's by-id name",
         [](FakeMachine& m) {
             usbSerial(m, "ttyUSB0", "ftdi_sio", "1-2", "0403:6001", "FTDI", "FT232R USB UART");
             m.byId(FTDI_ID, "/dev/ttyUSB0");
             m.byPath("pci-0000:00:14.0-usb-0:2:1.0-port0", "/dev/ttyUSB0");
         },
         {"/dev/ttyUSB0  ftdi_sio  FTDI FT232R USB UART (0403:6001) (/dev/serial/by-id/" + FTDI_ID +
          ", /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0)"}},
        {"consoles, pseudo-terminals and unbound devices are not ports",
         [](FakeMachine& m) {
             m.tty("tty1", "");
             m.tty("console", "");
             m.tty("ptmx", "");
             m.device("/sys/devices/pnp0/00:06", "pnp", "");
             m.tty("ttyS1", "/sys/devices/pnp0/00:06");
         },
         {}},
        {"8250 ports without a UART are left out, on old and new kernels",
         [](FakeMachine& m) {
             uartNew(m, "ttyS0", "/sys/devices/pnp0/00:05", "pnp", "serial", 4, "0x3F8", "0x0", 4);
             for (const char* name : {"ttyS1", "ttyS2", "ttyS3"}) {
                 uartOld(m, name, "/sys/devices/platform/serial8250", "platform", "serial8250", 0,
                         "0x0", 0);
             }
             uartNew(m, "ttyS4", "/sys/devices/platform/serial8250", "platform", "serial8250", 0,
                     "0x0", "0x0", 0);
             uartOld(m, "ttyS5", "/sys/devices/pci0000:00/0000:00:1e.0", "pci", "exar_serial", 4,
                     "0x0", 16);
         },
         {"/dev/ttyS0  serial       I/O 0x3F8, IRQ 4", "/dev/ttyS5  exar_serial"}},
        {"sorted with numbers by value, columns aligned",
         [](FakeMachine& m) {
             usbSerial(m, "ttyUSB10", "pl2303", "1-4", "067b:2303", "Prolific Technology Inc.",
                       "USB-Serial Controller");
             usbSerial(m, "ttyUSB2", "ch341-uart", "1-3", "1a86:7523", "", "");
             acm(m, "ttyACM0", "1-1", "2341:0043", "Arduino (www.arduino.cc)", "");
             uartOld(m, "ttyS0", "/sys/devices/pnp0/00:05", "pnp", "serial", 4, "0x3F8", 4);
         },
         {
             "/dev/ttyACM0   cdc_acm     Arduino (www.arduino.cc) (2341:0043)",
             "/dev/ttyS0     serial      I/O 0x3F8, IRQ 4",
             "/dev/ttyUSB2   ch341-uart  (1a86:7523)",
             "/dev/ttyUSB10  pl2303      Prolific Technology Inc. USB-Serial Controller "
             "(067b:2303)",
         }},
        {"a product name that repeats the maker is said once",
         [](FakeMachine& m) {
             usbSerial(m, "ttyUSB0", "ftdi_sio", "1-2", "0403:6015", "FTDI", "FTDI USB Serial");
         },
         {"/dev/ttyUSB0  ftdi_sio  FTDI USB Serial (0403:6015)"}},
        {"a memory-mapped UART on a new kernel",
         [](FakeMachine& m) {
             uartNew(m, "ttyAMA0", "/sys/devices/platform/soc/fe201000.serial", "amba",
                     "uart-pl011", 91, "0x0", "0xFE201000", 29);
         },
         {"/dev/ttyAMA0  uart-pl011  memory 0xFE201000, IRQ 29"}},
        {"ports without a node in /dev (a container's view) and links to them are left out",
         [](FakeMachine& m) {
             usbSerial(m, "ttyUSB0", "ftdi_sio", "1-2", "0403:6001", "FTDI", "FT232R USB UART",
                       false);
             m.byId(FTDI_ID, "/dev/ttyUSB0");
         },
         {}},
        {"two stable names of one adapter, and one whose device sysfs does not show",
         [](FakeMachine& m) {
             usbSerial(m, "ttyUSB0", "cp210x", "1-2", "10c4:ea60", "Silicon Labs",
                       "CP2102 USB to UART Bridge Controller");
             m.byId("usb-Silicon_Labs_CP2102-if00-port0", "/dev/ttyUSB0");
             m.byId("usb-Line_7-if00-port0", "/dev/ttyUSB0");
             m.file("/dev/ttyX9", "");
             m.byId("usb-Other-if00", "/dev/ttyX9");
         },
         {"/dev/ttyUSB0  cp210x  Silicon Labs CP2102 USB to UART Bridge Controller (10c4:ea60) "
          "(/dev/serial/by-id/usb-Line_7-if00-port0, "
          "/dev/serial/by-id/usb-Silicon_Labs_CP2102-if00-port0)",
          "/dev/ttyX9            (/dev/serial/by-id/usb-Other-if00)"}},
        {"a device in a subfolder of /dev",
         [](FakeMachine& m) {
             acm(m, "usb!ttyGS0", "1-1", "0525:a4a7", "Linux", "Gadget Serial");
             m.file("/dev/usb/ttyGS0", "");
         },
         {"/dev/usb/ttyGS0  cdc_acm  Linux Gadget Serial (0525:a4a7)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeMachine machine;
        machine.dir("/sys/class/tty");
        machine.dir("/dev");
        c.build(machine);
        std::vector<PortInfo> ports;
        std::string error;
        ASSERT_EQ(listSerialPortsUnder(machine.root(), ports, error), 0) << error;
        EXPECT_EQ(portTable(ports), c.lines);
    }
}

TEST(LinuxPortList, WithoutSysfsItCannotLook) {
    FakeMachine machine;
    machine.dir("/dev");
    std::vector<PortInfo> ports = {{"stale", "", "", {}}};
    std::string error;
    EXPECT_NE(listSerialPortsUnder(machine.root(), ports, error), 0);
    EXPECT_NE(error.find("/sys/class/tty: No such file or directory"), std::string::npos) << error;
    EXPECT_TRUE(ports.empty());

    error.clear();
    EXPECT_NE(listSerialPortsUnder(machine.root() + "/missing", ports, error), 0);
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}
#endif

} // namespace
} // namespace kestrune
