#include "cli/service_notify.h"

#include <chrono>
#include <csignal>
#include <systemd/sd-daemon.h>

namespace kestrune::cli {
namespace {

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void onReloadSignal(void (*handler)(int)) {
    std::signal(SIGHUP, handler);
}

void onStopControl(void (*)(int)) {}

ServiceNotifier::ServiceNotifier() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        pingMs_ = static_cast<int64_t>(usec / 2000);
    }
}

void ServiceNotifier::ready() {
    sd_notify(0, "READY=1");
    lastPingMs_ = nowMs();
}

void ServiceNotifier::status(const std::string& text) {
    if (text != status_) {
        status_ = text;
        sd_notify(0, ("STATUS=" + text).c_str());
    }
}

void ServiceNotifier::stopping() {
    sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::tick(bool moving) {
    const int64_t now = nowMs();
    if (pingMs_ != 0 && moving && now - lastPingMs_ >= pingMs_) {
        lastPingMs_ = now;
        sd_notify(0, "WATCHDOG=1");
    }
}

} // namespace kestrune::cli
