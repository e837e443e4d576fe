#pragma once

// On a terminal, the seconds the box has left to wake up, under "Restart the set top box.":
// one line redrawn in place once a second until stop(), which erases it. Nothing where standard
// error is not a terminal (a log gets no line per second; serve --help says how long it waits).

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kestrune::cli {

// "COM1: 17 s left for the box to wake up".
std::string countdownLine(const char* port, int secondsLeft);

class Countdown {
public:
    Countdown(const char* port, bool shown) : port_(port), shown_(shown) {}
    ~Countdown() { stop(); }
    Countdown(const Countdown&) = delete;
    Countdown& operator=(const Countdown&) = delete;

    void start(std::chrono::seconds wait);
    void stop();

private:
    const char* port_;
    bool shown_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace kestrune::cli
