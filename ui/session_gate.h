#pragma once

// Where the session thread is, for the Abort that must end it. The window ends the session
// thread by termination, which is safe only while the thread is outside the platform's window
// calls (they take a process-wide lock inside). Every window call of the session is a section:
//
//   session thread                       main thread (Abort)
//   if (!gate.enter()) park();           gate.requestStop();
//   ...the window call...                while (!gate.mayTerminate()) let a section finish;
//   if (!gate.leave()) park();           terminate the thread
//
// Once requestStop() has been called and mayTerminate() has answered true, the session thread
// starts no window call any more: it is parked, or outside a section and parks at the next
// enter(). Both sides use sequentially consistent order, so a session entering a section and
// an Abort asking to stop at the same moment cannot miss each other.

#include <atomic>
#include <cstdint>

namespace kestrune::ui {

class SessionGate {
public:
    enum Place : int32_t { Outside = 0, InWindow = 1, Parked = 2 };

    // Main thread, before a session thread is created.
    void reset() {
        place_.store(Outside);
        stop_.store(0);
    }

    // Session thread. false: the session is to stop; the caller parks (place is Parked).
    bool enter() {
        place_.store(InWindow);
        if (stop_.load() != 0) {
            place_.store(Parked);
            return false;
        }
        return true;
    }
    bool leave() {
        if (stop_.load() != 0) {
            place_.store(Parked);
            return false;
        }
        place_.store(Outside);
        return true;
    }
    // Session thread, before it waits for its end forever.
    void parking() { place_.store(Parked); }

    // Main thread.
    void requestStop() { stop_.store(1); }
    bool stopRequested() const { return stop_.load() != 0; }
    // Only after requestStop(): the thread is parked or outside a section, and stays out.
    bool mayTerminate() const { return stop_.load() != 0 && place_.load() != InWindow; }
    Place place() const { return static_cast<Place>(place_.load()); }

private:
    std::atomic<int32_t> place_{Outside};
    std::atomic<int32_t> stop_{0};
};

} // namespace kestrune::ui
