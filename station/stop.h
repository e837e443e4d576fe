#pragma once

// The stop request of a serve or a station: the first stops taking boxes (waiting, settling and
// retry pauses end; downloads in progress finish), the second aborts the downloads. Requested
// from a signal handler or a console control handler (which on Windows runs on a thread of its
// own): request() is one atomic store and nothing else; the ports' own loops act on it.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace kestrune::station {

class StopSignal {
public:
    // One more Ctrl-C.
    void request() { level_.fetch_add(1, std::memory_order_relaxed); }
    void stopWaiting() { raise(1); }
    void abort() { raise(2); }

    bool stopping() const { return level_.load(std::memory_order_relaxed) >= 1; }
    bool aborting() const { return level_.load(std::memory_order_relaxed) >= 2; }
    int level() const { return level_.load(std::memory_order_relaxed); }

    // Sleeps up to `ms`, in steps short enough that a stop ends the sleep within 50 ms.
    // Returns false when it ended because of a stop.
    bool sleepFor(int ms) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stopping()) {
            const auto left = end - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return true;
            }
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
        }
        return false;
    }

private:
    void raise(int to) {
        int now = level_.load(std::memory_order_relaxed);
        while (now < to && !level_.compare_exchange_weak(now, to, std::memory_order_relaxed)) {
        }
    }

    std::atomic<int> level_{0};
};

} // namespace kestrune::station
