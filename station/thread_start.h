#pragma once

// Starting a thread may fail (no memory for its stack, a process or thread limit reached), and
// std::thread says so by throwing. The station's threads are started here instead, where the
// failure becomes a result its caller handles: a port that cannot get its thread is told and
// stopped, and every thread that did start is still joined before what it uses is gone. Tests
// give a starter that fails on purpose.

#include <functional>
#include <string>
#include <system_error>
#include <thread>

namespace kestrune::station {

class ThreadStarter {
public:
    virtual ~ThreadStarter() = default;
    // Starts `body` in `thread`. "" when it runs, else why not (then `thread` is not joinable
    // and `body` never runs).
    virtual std::string start(std::thread& thread, std::function<void()> body) = 0;
};

class SystemThreadStarter final : public ThreadStarter {
public:
    std::string start(std::thread& thread, std::function<void()> body) override {
        try {
            thread = std::thread(std::move(body));
        } catch (const std::system_error& e) {
            return e.code().message();
        }
        return "";
    }
};

// The process's own.
inline ThreadStarter& systemThreads() {
    static SystemThreadStarter starter;
    return starter;
}

} // namespace kestrune::station
