#pragma once
// What a station tells the service manager that runs it: on Linux systemd's notify socket
// (READY=1, STATUS=, WATCHDOG=1, STOPPING=1, through libsystemd's sd_notify), nothing where
// there is none. Without $NOTIFY_SOCKET every call does nothing.

#include <cstdint>
#include <string>

namespace kestrune::cli {

// The signal that asks for a reload (SIGHUP) calls `handler`, where there is one.
void onReloadSignal(void (*handler)(int));

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
