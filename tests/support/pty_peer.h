#pragma once

// The far end of a pseudo-terminal pair, for tests of the POSIX serial port: the test
// holds the master side and plays the box on it.

#include "tests/support/fake_port.h"

#include <algorithm>
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

// The master side as a SerialPort, so that the link's own frame code can play the box.
// A noisy line for tests: `corruptWrite` flips one bit in the middle of the Nth block
// written, `corruptRead` in the Nth read of more than one byte (0 = none).
class MasterPort final : public FakePort {
public:
    explicit MasterPort(const PtyPair& pty) : pty_(pty) {}
    int corruptWrite = 0;
    int corruptRead = 0;

    bool purge() override { return tcflush(pty_.master, TCIOFLUSH) == 0; }
    int writeByte(uint8_t value) override { return writeBlock(&value, 1); }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        std::vector<uint8_t> bytes(data, data + count);
        if (++writes_ == corruptWrite && count > 0) {
            bytes[count / 2] ^= 0x08;
        }
        return pty_.send(bytes) ? LINK_OK : LINK_ERR_IO;
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        const std::vector<uint8_t> got = pty_.receive(*count, static_cast<int>(timeoutMs));
        std::copy(got.begin(), got.end(), buffer);
        if (*count > 1 && ++blockReads_ == corruptRead && !got.empty()) {
            buffer[got.size() / 2] ^= 0x08;
        }
        *count = static_cast<uint32_t>(got.size());
        return got.empty() ? LINK_ERR_IO : LINK_OK;
    }

private:
    const PtyPair& pty_;
    int writes_ = 0;
    int blockReads_ = 0;
};

} // namespace kestrune::test
