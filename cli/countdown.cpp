#include "cli/countdown.h"

#include <cstdio>

namespace kestrune::cli {

std::string countdownLine(const char* port, int secondsLeft) {
    return std::string(port) + ": " + std::to_string(secondsLeft) +
           " s left for the box to wake up";
}

void Countdown::start(std::chrono::seconds wait) {
    stop();
    if (!shown_) {
        return;
    }
    stopping_ = false;
    thread_ = std::thread([this, wait] {
        const auto end = std::chrono::steady_clock::now() + wait;
        std::unique_lock<std::mutex> lock(mutex_);
        for (auto left = wait; left.count() > 0 && !stopping_; --left) {
            std::fprintf(stderr, "\r%s\033[K", countdownLine(port_, int(left.count())).c_str());
            std::fflush(stderr);
            wake_.wait_until(lock, end - left + std::chrono::seconds(1),
                             [this] { return stopping_; });
        }
    });
}

void Countdown::stop() {
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

} // namespace kestrune::cli
