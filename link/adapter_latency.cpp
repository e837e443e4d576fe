// The words for an adapter's latency timer; the same on every platform.

#include "link/adapter_latency.h"

namespace kestrune {

namespace {

std::string milliseconds(int ms) {
    return std::to_string(ms) + " ms";
}

} // namespace

std::string latencySummary(const LatencyFacts& facts) {
    if (!facts.adapter) {
        return "";
    }
    if (facts.timerMs < 0) {
        return "no latency timer to set";
    }
    const std::string timer = "latency timer " + milliseconds(facts.timerMs);
    if (facts.timerMs <= LOW_LATENCY_MS) {
        return timer;
    }
    switch (facts.control) {
    case LatencyControl::Program:
        return timer + ", " + milliseconds(LOW_LATENCY_MS) + " while downloading";
    case LatencyControl::NoPermission:
        return timer + ", not writable (no permission)";
    case LatencyControl::DriverSetting:
        return timer + " (the driver's setting)";
    case LatencyControl::None:
        break;
    }
    return timer;
}

std::string latencyAdvice(const LatencyFacts& facts) {
    if (!facts.adapter || facts.timerMs <= LOW_LATENCY_MS) {
        return "";
    }
    if (facts.control == LatencyControl::NoPermission) {
        // udev writes the attribute whenever the adapter is plugged in, so the timer is low
        // for every program and nobody needs the permission.
        const std::string driver = facts.driver.empty() ? "ftdi_sio" : facts.driver;
        const std::string rule = "ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"" + driver +
                                 "\", ATTR{latency_timer}=\"" + std::to_string(LOW_LATENCY_MS) +
                                 "\"";
        return "no permission to write " + facts.where + "; a udev rule lowers the timer to " +
               milliseconds(LOW_LATENCY_MS) + " whenever the adapter is plugged in: echo '" + rule +
               "' | sudo tee /etc/udev/rules.d/70-kestrune-latency.rules, then plug the adapter "
               "in again";
    }
    if (facts.control == LatencyControl::DriverSetting) {
        return "lower the latency timer to " + milliseconds(LOW_LATENCY_MS) +
               " in Device Manager: Ports (COM & LPT) > the adapter > Properties > Port "
               "Settings > Advanced > Latency Timer (msec), then plug the adapter in again";
    }
    return "";
}

std::string latencyLine(const LatencyFacts& facts) {
    std::string line = latencySummary(facts);
    if (const std::string advice = latencyAdvice(facts); !advice.empty()) {
        line += "; " + advice;
    }
    return line;
}

} // namespace kestrune
