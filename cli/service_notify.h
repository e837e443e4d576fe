#pragma once
// What a station tells the service manager that runs it: on Linux systemd's notify socket
// (READY=1, STATUS=, WATCHDOG=1, STOPPING=1, through libsystemd's sd_notify; without
// $NOTIFY_SOCKET every call does nothing), on Windows the service control manager's status
// (running, stop pending) when the station runs as a service (service_control_win32.cpp).

#include <cstdint>
#include <string>

namespace kestrune::cli {

// The signal that asks for a reload (SIGHUP; a Windows service's ParamChange control) calls
// `handler`, where there is one.
void onReloadSignal(void (*handler)(int));
// A Windows service's Stop control calls `handler(1)` (no new boxes, the downloads in progress
// finish), its Shutdown control `handler(2)` (they are aborted). Nothing on Linux, where
// systemd's stop is SIGTERM.
void onStopControl(void (*handler)(int level));

class ServiceNotifier {
public:
    ServiceNotifier();
    void ready();
    void status(const std::string& text); // sent when it changed
    void stopping();
    // Called about every 100 ms: a WATCHDOG=1 every half of the manager's WATCHDOG_USEC, only
    // while `moving` (every port's loop goes round).
    void tick(bool moving);
    // Half the watchdog's time-out in milliseconds, 0 without a watchdog.
    int64_t pingMs() const { return pingMs_; }

private:
    int64_t pingMs_ = 0;
    int64_t lastPingMs_ = 0;
    std::string status_;
};

} // namespace kestrune::cli
