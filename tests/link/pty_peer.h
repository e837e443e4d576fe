#pragma once

// The far end of a pseudo-terminal pair, for tests of the POSIX serial port: the test
// holds the master side and plays the box on it.

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace kestrune::test {

class PtyPair {
public:
    PtyPair() {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            slavePath = name;
            termios raw;
            tcgetattr(slave, &raw);
            cfmakeraw(&raw);
            tcsetattr(slave, TCSANOW, &raw);
        }
    }
    ~PtyPair() {
        closeMaster();
        if (slave >= 0) {
            ::close(slave);
        }
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    void closeMaster() {
        if (master >= 0) {
            ::close(master);
            master = -1;
        }
    }

    // Everything, however long the pty takes to pass it on.
    bool send(const std::vector<uint8_t>& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Up to `count` bytes, waiting at most timeoutMs in all.
    std::vector<uint8_t> receive(size_t count, int timeoutMs) const {
        std::vector<uint8_t> out;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                break;
            }
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) {
                continue;
            }
            uint8_t buffer[4096];
            const size_t want =
                count - out.size() < sizeof buffer ? count - out.size() : sizeof buffer;
            const ssize_t n = ::read(master, buffer, want);
            if (n <= 0) {
                break;
            }
            out.insert(out.end(), buffer, buffer + n);
        }
        return out;
    }

    int master = -1;
    int slave = -1;
    std::string slavePath;
};

} // namespace kestrune::test
