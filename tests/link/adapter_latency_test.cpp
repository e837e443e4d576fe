// A USB adapter's latency timer: the words for what the system tells (both builds), and on
// Linux the reading and the lowering against fake sysfs trees, with a real pseudo-terminal
// standing in for the adapter's tty (it has no serial driver, so the low-latency flag is
// refused as a real pty refuses it).

#include "link/adapter_latency.h"

#include <gtest/gtest.h>
#include <string>

#ifndef _WIN32
#include "link/system_serial_port.h"
#include "tests/support/fake_machine.h"
#include "tests/support/pty_peer.h"

#include <functional>
#include <sys/stat.h>
#endif

namespace kestrune {
namespace {

const std::string SYSFS_TIMER = "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer";

TEST(AdapterLatencyWords, SummaryAndAdvice) {
    struct Case {
        const char* what;
        LatencyFacts facts;
        std::string summary;
        std::string advice; // a part of it; "" for none
    };
    const Case cases[] = {
        {"not an adapter", {}, "", ""},
        {"an adapter without a timer",
         {true, "cp210x", -1, LatencyControl::None, ""},
         "no latency timer to set",
         ""},
        {"a timer that is low already",
         {true, "ftdi_sio", 1, LatencyControl::NoPermission, SYSFS_TIMER},
         "latency timer 1 ms",
         ""},
        {"a timer this program lowers",
         {true, "ftdi_sio", 16, LatencyControl::Program, SYSFS_TIMER},
         "latency timer 16 ms, 1 ms while downloading",
         ""},
        {"a timer only root may write",
         {true, "ftdi_sio", 16, LatencyControl::NoPermission, SYSFS_TIMER},
         "latency timer 16 ms, not writable (no permission)",
         "no permission to write " + SYSFS_TIMER +
             "; a udev rule lowers the timer to 1 ms whenever the adapter is plugged in: echo "
             "'ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", "
             "ATTR{latency_timer}=\"1\"' | sudo tee /etc/udev/rules.d/70-kestrune-latency.rules"},
        {"the rule names the adapter's own driver",
         {true, "xr_serial", 8, LatencyControl::NoPermission, SYSFS_TIMER},
         "latency timer 8 ms, not writable (no permission)",
         "DRIVER==\"xr_serial\""},
        {"Windows: the driver's setting",
         {true, "", 16, LatencyControl::DriverSetting, "HKEY_LOCAL_MACHINE\\..."},
         "latency timer 16 ms (the driver's setting)",
         "Port Settings > Advanced > Latency Timer (msec)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(latencySummary(c.facts), c.summary);
        const std::string advice = latencyAdvice(c.facts);
        if (c.advice.empty()) {
            EXPECT_EQ(advice, "");
            EXPECT_EQ(latencyLine(c.facts), c.summary);
        } else {
            EXPECT_NE(advice.find(c.advice), std::string::npos) << advice;
            EXPECT_EQ(latencyLine(c.facts), c.summary + "; " + advice);
        }
    }
}

#ifndef _WIN32
using namespace fake;

const std::string FTDI_ID = "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";

// An FTDI adapter as ttyUSB0 whose latency_timer says `timer` with `mode` ("" for none);
// returns the attribute's path in the fake tree.
std::string ftdi(FakeMachine& m, const std::string& name, const std::string& timer, int mode) {
    const std::string folder =
        usbSerial(m, name, "ftdi_sio", "1-2", "0403:6001", "FTDI", "FT232R USB UART");
    const std::string path = m.root() + folder + "/latency_timer";
    if (!timer.empty()) {
        m.file(folder + "/latency_timer", timer);
        ::chmod(path.c_str(), mode_t(mode));
    }
    return path;
}

std::string contents(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

struct Tree {
    const char* what;
    std::function<void(FakeMachine&)> build;
    std::string port;
    bool adapter;
    int timerMs;
    LatencyControl control;
};

TEST(LinuxAdapterLatency, WhatSysfsTells) {
    const Tree cases[] = {
        {"an FTDI adapter with a writable timer",
         [](FakeMachine& m) { ftdi(m, "ttyUSB0", "16", 0644); }, "/dev/ttyUSB0", true, 16,
         LatencyControl::Program},
        {"the same by its stable name",
         [](FakeMachine& m) {
             ftdi(m, "ttyUSB0", "16", 0644);
             m.byId(FTDI_ID, "/dev/ttyUSB0");
         },
         "/dev/serial/by-id/" + FTDI_ID, true, 16, LatencyControl::Program},
        // A sysfs attribute without write bits has no store function: root cannot write it
        // either, so the case holds whoever runs the test.
        {"a read-only timer", [](FakeMachine& m) { ftdi(m, "ttyUSB0", "16", 0444); },
         "/dev/ttyUSB0", true, 16, LatencyControl::NoPermission},
        {"an adapter whose driver has no timer",
         [](FakeMachine& m) {
             usbSerial(m, "ttyUSB0", "cp210x", "1-2", "10c4:ea60", "Silicon Labs", "CP2102");
         },
         "/dev/ttyUSB0", true, -1, LatencyControl::None},
        {"a timer that does not read as a number",
         [](FakeMachine& m) { ftdi(m, "ttyUSB0", "fast", 0644); }, "/dev/ttyUSB0", true, -1,
         LatencyControl::None},
        {"an ACM modem is not a USB serial adapter",
         [](FakeMachine& m) {
             const std::string usb = usbDevice(m, "1-1", "2341:0043", "Arduino", "");
             m.device(usb + "/1-1:1.0", "usb", "cdc_acm");
             m.tty("ttyACM0", usb + "/1-1:1.0");
         },
         "/dev/ttyACM0", false, -1, LatencyControl::None},
        {"a UART is not one",
         [](FakeMachine& m) {
             m.device("/sys/devices/pnp0/00:05", "pnp", "serial");
             m.tty("ttyS0", "/sys/devices/pnp0/00:05");
         },
         "/dev/ttyS0", false, -1, LatencyControl::None},
        {"a port that is not there", [](FakeMachine& m) { ftdi(m, "ttyUSB0", "16", 0644); },
         "/dev/ttyUSB1", false, -1, LatencyControl::None},
    };
    for (const Tree& c : cases) {
        SCOPED_TRACE(c.what);
        FakeMachine machine;
        c.build(machine);
        const LatencyFacts facts = readLatencyFactsUnder(machine.root(), c.port);
        EXPECT_EQ(facts.adapter, c.adapter);
        EXPECT_EQ(facts.timerMs, c.timerMs);
        EXPECT_EQ(facts.control, c.control);
        if (c.timerMs >= 0) {
            EXPECT_EQ(facts.driver, "ftdi_sio");
            EXPECT_EQ(facts.where, SYSFS_TIMER);
        }
    }
}

TEST(LinuxAdapterLatency, LowersForTheDownloadAndPutsBack) {
    struct Case {
        const char* what;
        std::string timer; // "" for no attribute
        int mode;
        std::string whileOpen;
        std::string action;
    };
    const Case cases[] = {
        {"a writable timer of 16 ms", "16", 0644, "1",
         "latency timer 16 ms -> 1 ms, not a serial driver (no low-latency flag)"},
        {"a read-only timer", "16", 0444, "16",
         "latency timer 16 ms (not writable), not a serial driver (no low-latency flag)"},
        {"a timer at 1 ms already", "1", 0644, "1",
         "latency timer 1 ms, not a serial driver (no low-latency flag)"},
        {"no timer", "", 0, "", "no latency timer, not a serial driver (no low-latency flag)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeMachine machine;
        const std::string timer = ftdi(machine, "ttyUSB0", c.timer, c.mode);
        test::PtyPair pty;
        ASSERT_GE(pty.slave, 0);
        DownloadLatency latency(machine.root().c_str());
        latency.lower(pty.slave, "/dev/ttyUSB0");
        EXPECT_STREQ(latency.lastAction(), c.action.c_str());
        EXPECT_FALSE(latency.flagSet());
        EXPECT_EQ(contents(timer), c.whileOpen);
        latency.restore(pty.slave);
        EXPECT_EQ(contents(timer), c.timer);
        if (!c.timer.empty()) {
            // A second restore has nothing left to put back.
            ::chmod(timer.c_str(), 0644);
            machine.file(timer.substr(machine.root().size()), "7");
            latency.restore(pty.slave);
            EXPECT_EQ(contents(timer), "7");
        }
    }

    FakeMachine machine;
    machine.device("/sys/devices/pnp0/00:05", "pnp", "serial");
    machine.tty("ttyS0", "/sys/devices/pnp0/00:05");
    test::PtyPair pty;
    DownloadLatency latency(machine.root().c_str());
    latency.lower(pty.slave, "/dev/ttyS0");
    EXPECT_STREQ(latency.lastAction(), "not a USB adapter");
}

// The whole way: the system port lowers the timer when it opens for a download and puts it
// back on every close. The fake tree says the pseudo-terminal is an FTDI adapter.
TEST(LinuxAdapterLatency, TheDownloadPortLowersItWhileOpen) {
    test::PtyPair pty;
    ASSERT_GE(pty.slave, 0);
    ASSERT_EQ(pty.slavePath.rfind("/dev/", 0), 0u) << pty.slavePath;
    std::string name = pty.slavePath.substr(5);
    for (char& c : name) {
        c = c == '/' ? '!' : c;
    }
    FakeMachine machine;
    const std::string timer = ftdi(machine, name, "16", 0644);
    machine.file(pty.slavePath, "");
    const std::string root = machine.root();

    auto port = createSystemSerialPortUnder(root.c_str(), nullptr, nullptr,
                                            PortLatency::LowWhileDownloading);
    ASSERT_TRUE(port->openDownloadPort(pty.slavePath.c_str())) << port->lastError();
    EXPECT_EQ(contents(timer), "1");
    // The watch configuration is left as it is.
    port->closeDownloadPort();
    EXPECT_EQ(contents(timer), "16");
    ASSERT_TRUE(port->openWatchPort(pty.slavePath.c_str()));
    EXPECT_EQ(contents(timer), "16");
    port->closeWatchPort();

    // An abort: the transfers fail, the close still puts the timer back.
    ASSERT_TRUE(port->openDownloadPort(pty.slavePath.c_str()));
    EXPECT_EQ(contents(timer), "1");
    port->cancel();
    uint8_t byte = 0;
    EXPECT_NE(port->readByte(&byte, 1000), 0);
    port->closeDownloadPort();
    EXPECT_EQ(contents(timer), "16");

    // Opening again without a close, and the port destroyed while open.
    ASSERT_TRUE(port->openDownloadPort(pty.slavePath.c_str()));
    ASSERT_TRUE(port->openDownloadPort(pty.slavePath.c_str()));
    EXPECT_EQ(contents(timer), "1");
    port.reset();
    EXPECT_EQ(contents(timer), "16");

    auto asItIs = createSystemSerialPortUnder(root.c_str(), nullptr, nullptr, PortLatency::AsItIs);
    ASSERT_TRUE(asItIs->openDownloadPort(pty.slavePath.c_str()));
    EXPECT_EQ(contents(timer), "16");
}
#endif

} // namespace
} // namespace kestrune
