#pragma once

// The latency of a USB serial adapter. Such an adapter holds the bytes it receives until its
// buffer fills or its latency timer runs out (16 ms on the most common chips), which slows
// every exchange of a download and lets a wake-up byte arrive after the port was purged.
//
// What the system tells about a port's timer, and the words for it, are shared
// (adapter_latency.cpp); reading it is per platform (adapter_latency_posix.cpp,
// adapter_latency_win32.cpp). On Linux the download port lowers it while it is open
// (DownloadLatency); on Windows it is the driver's setting, shown and never changed.

#include <cstddef>
#include <string>

namespace kestrune {

// Who may set the timer.
enum class LatencyControl {
    None,          // no timer is told (not an adapter, or one without a timer)
    Program,       // this program lowers it for each download (the sysfs attribute is writable)
    NoPermission,  // the attribute is there but this user may not write it
    DriverSetting, // Windows: the driver's setting, changed in Device Manager
};

struct LatencyFacts {
    // The port is a USB serial adapter (Linux: its device is on the usb-serial bus; Windows:
    // its driver tells a latency timer).
    bool adapter = false;
    // The adapter's kernel driver ("ftdi_sio"), for the udev rule; "" when not told.
    std::string driver;
    // The latency timer in milliseconds; -1 when the system tells none.
    int timerMs = -1;
    LatencyControl control = LatencyControl::None;
    // Where the timer is: "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer", or the
    // device's registry key on Windows.
    std::string where;
};

// What the timer is while downloading when it can be lowered.
constexpr int LOW_LATENCY_MS = 1;

// A few words for a listing ("latency timer 16 ms, 1 ms while downloading"); "" when the port
// is not an adapter.
std::string latencySummary(const LatencyFacts& facts);

// What an operator can do about a timer this program cannot lower (a udev rule, the Device
// Manager setting), one sentence without a final full stop; "" when there is nothing to do.
std::string latencyAdvice(const LatencyFacts& facts);

// The summary, then the advice when there is one; "" when the port is not an adapter.
std::string latencyLine(const LatencyFacts& facts);

// What the system tells about `port`'s latency timer. Nothing is opened: only sysfs files
// (Linux) or the registry (Windows) are read.
LatencyFacts readLatencyFacts(const std::string& port);

#ifndef _WIN32
// The same, reading `root`/sys and `root`/dev instead of /sys and /dev ("" or "/" is the
// machine itself); `port` is as the machine sees it ("/dev/ttyUSB0", a by-id name).
LatencyFacts readLatencyFactsUnder(const std::string& root, const std::string& port);

// Lowers a USB adapter's latency for as long as a download port is open, and puts back what
// it changed before the port closes: the driver's low-latency flag (ASYNC_LOW_LATENCY) and
// the sysfs latency timer where it is writable. The flag alone gives an ftdi_sio adapter 1 ms
// for any user who may open the port. Nothing is allocated: the names live in the object.
class DownloadLatency {
public:
    // `root` as for readLatencyFactsUnder.
    explicit DownloadLatency(const char* root = "");

    // After `fd` was opened as `device` (as --port names it). A port that is not a USB
    // adapter is left as it is.
    void lower(int fd, const char* device);
    // Before `fd` is closed; harmless when lower() changed nothing.
    void restore(int fd);

    // What the last lower() did, for a trace: "latency timer 16 ms -> 1 ms, low-latency flag
    // set", "not a USB adapter", ...
    const char* lastAction() const { return action_; }
    // What lower() found the timer at and set it to (-1 when it did not touch it).
    int savedTimerMs() const { return savedTimer_; }
    // Whether lower() set the driver's flag (it was clear and the driver took it).
    bool flagSet() const { return flagSet_; }

private:
    char root_[256] = "";
    char timerPath_[4096] = "";
    char action_[160] = "";
    int savedTimer_ = -1;
    bool flagSet_ = false;
};
#endif

} // namespace kestrune
