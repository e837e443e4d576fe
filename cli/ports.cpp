// kestrune-cli ports: the serial ports of this machine, so the operator knows what to pass to
// --port.

#include "cli/cli.h"
#include "link/adapter_latency.h"
#include "link/port_advice.h"
#include "link/port_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kestrune::cli {

namespace {

constexpr const char* PORTS_PROGRAM = "kestrune-cli ports";

// The ports could not be looked for at all, or the list could not be written.
constexpr int EXIT_CANNOT_LIST = 1;

#ifdef _WIN32
constexpr const char* SOURCES =
    "The ports are the registry's device map (HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\"
    "SERIALCOMM) and the COM names among the DOS devices, each with the device it stands for "
    "and, where the driver tells it (FTDI's LatencyTimer), the adapter's latency timer.";
#else
constexpr const char* SOURCES =
    "The ports are the tty devices with a driver behind them (leaving out ttyS ports the kernel "
    "found no UART for), each with its driver and, for a USB adapter, its maker, product and "
    "vendor:product IDs, and for a UART its I/O address and IRQ; the stable names of "
    "/dev/serial/by-id (the adapter) and /dev/serial/by-path (the socket it is plugged into) "
    "follow in parentheses and work with --port as well. Give a station the by-path names "
    "(--port A1=/dev/serial/by-path/...): the slot stays the same socket after a reboot or an "
    "adapter swap, while /dev/ttyUSBn can lead to another adapter after a re-plug. A USB adapter's "
    "latency timer (sysfs latency_timer) is shown with whether "
    "downloads lower it.";
#endif

} // namespace

void declarePorts(CLI::App& app, PortsOptions& o) {
    app.description(std::string("Lists the serial ports of this machine, sorted, one per line: "
                                "the names to pass to --port. ") +
                    SOURCES);
    app.add_flag("--plain", o.plain, "only the names, one per line (for scripts)");
    // Hidden (no group), for kestrune-window: the words of every program for a port it cannot
    // open.
    app.add_option("--advise", o.advise, "")->type_name("DEVICE")->group("");
    app.footer("When there are none, standard output stays empty and standard error says\n"
               "\"kestrune-cli ports: no serial ports found\".\n"
               "\n"
               "Exit status:\n"
               "  0   the ports were looked for (also when none were found)\n"
               "  1   the ports could not be looked for, or the list could not be written\n"
               "  64  wrong usage");
}

int runPorts(const CLI::App& app, const PortsOptions& o) {
    if (app.count("--advise") != 0) {
        std::printf("%s\n", permissionAdvice(o.advise).c_str());
        return std::fflush(stdout) == 0 ? 0 : EXIT_CANNOT_LIST;
    }
    const bool plain = o.plain;
    std::vector<PortInfo> ports;
    std::string error;
    if (listSerialPorts(ports, error) != 0) {
        std::fprintf(stderr, "%s: %s\n", PORTS_PROGRAM, error.c_str());
        return EXIT_CANNOT_LIST;
    }
    if (ports.empty()) {
        std::fprintf(stderr, "%s: no serial ports found\n", PORTS_PROGRAM);
        return 0;
    }
    // What each adapter's latency timer is, and what to do about one that stays high.
    std::vector<std::string> advice;
    for (PortInfo& port : ports) {
        const LatencyFacts facts = plain ? LatencyFacts{} : readLatencyFacts(port.name);
        if (const std::string summary = latencySummary(facts); !summary.empty()) {
            port.description += (port.description.empty() ? "" : "; ") + summary;
        }
        if (const std::string text = latencyAdvice(facts); !text.empty()) {
            advice.push_back(port.name + ": " + text);
        }
    }
    std::vector<std::string> lines;
    if (plain) {
        for (const PortInfo& port : ports) {
            lines.push_back(port.name);
        }
    } else {
        lines = portTable(ports);
    }
    bool written = true;
    for (const std::string& line : lines) {
        written = written && std::fprintf(stdout, "%s\n", line.c_str()) >= 0;
    }
    // The Windows C runtime's printf and fflush report success on a write that failed; only
    // the stream's error flag tells.
    if (!written || std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write the list: %s\n", PORTS_PROGRAM,
                     std::strerror(errno));
        return EXIT_CANNOT_LIST;
    }
    for (const std::string& text : advice) {
        std::fprintf(stderr, "%s: %s\n", PORTS_PROGRAM, text.c_str());
    }
    return 0;
}

} // namespace kestrune::cli
