// The serial port on termios. Every transfer is a poll() loop bounded by a deadline on
// the monotonic clock, with a self-pipe in the poll set so that cancel() wakes it.

#include "common/result_codes.h"
#include "link/adapter_latency.h"
#include "link/system_serial_port.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kestrune {
namespace {

using Clock = std::chrono::steady_clock;

const char* devicePath(const char* name) {
    if (strcasecmp(name, "COM1") == 0) {
        return "/dev/ttyS0";
    }
    if (strcasecmp(name, "COM2") == 0) {
        return "/dev/ttyS1";
    }
    return name;
}

// Milliseconds left until `deadline`, rounded up so that a wait never ends early.
int millisecondsLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

class PosixSerialPort final : public SystemSerialPort {
public:
    PosixSerialPort(PortErrorSink sink, void* context, PortLatency latency, const char* root)
        : sink_(sink), context_(context),
          lowerLatency_(latency == PortLatency::LowWhileDownloading), latency_(root) {
        if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
            wake_[0] = wake_[1] = -1;
        }
    }

    ~PosixSerialPort() override {
        closeDownloadPort();
        closeWatchPort();
        for (int fd : wake_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    bool openDownloadPort(const char* name) override {
        closeDownloadPort();
        clearCancel();
        download_ = openDevice(name);
        if (download_ < 0) {
            if (sink_ != nullptr) {
                sink_(context_, "Cannot Start Downloading!!!.", "Error");
            }
            return false;
        }
        termios settings;
        // Built from nothing: 57600 baud, 8 data bits, no parity, 1 stop bit, no flow
        // control of any kind, every byte delivered as it is. Reads are paced by poll().
        std::memset(&settings, 0, sizeof settings);
        settings.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
        cfsetispeed(&settings, B57600);
        cfsetospeed(&settings, B57600);
        settings.c_cc[VMIN] = 0;
        settings.c_cc[VTIME] = 0;
        if (tcsetattr(download_, TCSANOW, &settings) != 0) {
            noteError("settings", name, PortOpenError::Settings);
            return false;
        }
        // DTR and RTS up while the port is open; a pseudo-terminal has no modem lines.
        int lines = TIOCM_DTR | TIOCM_RTS;
        ioctl(download_, TIOCMBIS, &lines);
        if (lowerLatency_) {
            latency_.lower(download_, devicePath(name));
        }
        return true;
    }

    void closeDownloadPort() override {
        // Every close of the download port passes here: the next open, a cancel, the end.
        if (download_ >= 0 && lowerLatency_) {
            latency_.restore(download_);
        }
        closeDevice(download_);
    }

    bool purge() override {
        if (download_ < 0 || cancelled_.load()) {
            return false;
        }
        return tcflush(download_, TCIOFLUSH) == 0;
    }

    int writeByte(uint8_t value) override { return writeAll(download_, &value, 1); }

    int writeBlock(const uint8_t* data, uint32_t count) override {
        return writeAll(download_, data, count);
    }

    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        *count = readWithin(download_, buffer, *count, timeoutMs);
        return *count != 0 ? LINK_OK : LINK_ERR_IO;
    }

    int readByte(uint8_t* value, uint32_t timeoutMs) override {
        uint8_t byte = 0;
        if (readWithin(download_, &byte, 1, timeoutMs) != 1) {
            return LINK_ERR_IO;
        }
        *value = byte;
        return LINK_OK;
    }

    bool openWatchPort(const char* name) override {
        closeWatchPort();
        clearCancel();
        watchLost_.store(false);
        watch_ = openDevice(name);
        if (watch_ < 0) {
            return false;
        }
        // The port's own settings, changed to 19200 baud, 8N1 without parity checking,
        // and raw so that any single byte is seen.
        termios settings;
        if (tcgetattr(watch_, &settings) == 0) {
            cfmakeraw(&settings);
            settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
            settings.c_cflag |= CS8 | CREAD | CLOCAL;
            settings.c_iflag &= ~INPCK;
            cfsetispeed(&settings, B19200);
            cfsetospeed(&settings, B19200);
            settings.c_cc[VMIN] = 0;
            settings.c_cc[VTIME] = 0;
            tcsetattr(watch_, TCSANOW, &settings);
        }
        return true;
    }

    // At most 100 ms: 50 ms for the byte and 50 ms constant, as the watch's time-outs say.
    bool pollWatchByte() override {
        uint8_t byte = 0;
        return readWithin(watch_, &byte, 1, 50 + 50) == 1;
    }

    void closeWatchPort() override { closeDevice(watch_); }

    void cancel() override {
        cancelled_.store(true);
        if (wake_[1] >= 0) {
            const char byte = 1;
            // A full pipe already wakes every poll.
            [[maybe_unused]] ssize_t n = ::write(wake_[1], &byte, 1);
        }
    }

    const char* lastError() const override { return error_; }
    PortOpenError lastOpenError() const override { return failure_; }
    bool watchLost() const override { return watchLost_.load(); }

private:
    void noteError(const char* operation, const char* name, PortOpenError failure) {
        failure_ = failure;
        std::snprintf(error_, sizeof error_, "%s %s: %s", operation, devicePath(name),
                      failure == PortOpenError::NotSerialPort ? describePortOpenError(failure)
                                                              : std::strerror(errno));
    }

    static PortOpenError failureOf(int error) {
        switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return PortOpenError::NotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return PortOpenError::PermissionDenied;
        case EBUSY:
        case EWOULDBLOCK:
            return PortOpenError::Busy;
        case EISDIR:
            return PortOpenError::NotSerialPort;
        default:
            return PortOpenError::Other;
        }
    }

    int openDevice(const char* name) {
        error_[0] = '\0';
        failure_ = PortOpenError::None;
        const int fd = ::open(devicePath(name), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            noteError("open", name, failureOf(errno));
            return -1;
        }
        // Only a terminal is a serial port. Anything else (an image file given by mistake,
        // /dev/null, a FIFO) is closed again before a single byte is written to it.
        termios probe;
        if (!isatty(fd) || tcgetattr(fd, &probe) != 0) {
            noteError("open", name, PortOpenError::NotSerialPort);
            ::close(fd);
            return -1;
        }
        // No other opener may share the port: the advisory lock keeps out programs that
        // take it too, the terminal's exclusive mode every other (unprivileged) opener.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            noteError("lock", name, PortOpenError::Busy);
            ::close(fd);
            return -1;
        }
        ioctl(fd, TIOCEXCL);
        return fd;
    }

    void closeDevice(int& fd) {
        if (fd < 0) {
            return;
        }
        // After a cancel, pending output must not hold up the close.
        if (cancelled_.load()) {
            tcflush(fd, TCOFLUSH);
        }
        // The exclusive mode belongs to the terminal, not to this descriptor: a peer that
        // keeps the other side open would otherwise keep everybody else out after us.
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        fd = -1;
    }

    void clearCancel() {
        // Drain first: a cancel that lands in between leaves a byte that the next
        // transfer's poll sees.
        char sink[64];
        while (wake_[0] >= 0 && ::read(wake_[0], sink, sizeof sink) > 0) {
        }
        cancelled_.store(false);
    }

    // Waits on the cancel pipe alone until the deadline: a line whose other end is gone
    // behaves like a silent one instead of failing early.
    void waitOut(Clock::time_point deadline) {
        pollfd wake = {wake_[0], POLLIN, 0};
        for (int ms; (ms = millisecondsLeft(deadline)) > 0;) {
            const int r = poll(&wake, 1, ms);
            if (r > 0) {
                cancelled_.store(true);
                return;
            }
            if (r < 0 && errno != EINTR) {
                return;
            }
        }
    }

    uint32_t readWithin(int fd, uint8_t* buffer, uint32_t wanted, uint32_t timeoutMs) {
        if (fd < 0 || wanted == 0 || cancelled_.load()) {
            return 0;
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        uint32_t got = 0;
        // The first pass always looks, so a zero time-out still takes what is there.
        for (bool first = true; got < wanted; first = false) {
            const int ms = millisecondsLeft(deadline);
            if (ms == 0 && !first) {
                break;
            }
            pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            const int r = poll(fds, 2, ms);
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (fds[1].revents != 0) {
                cancelled_.store(true);
                break;
            }
            if (r == 0) {
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                const ssize_t n = ::read(fd, buffer + got, wanted - got);
                if (n > 0) {
                    got += static_cast<uint32_t>(n);
                    continue;
                }
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                    continue;
                }
            }
            // Hang-up, error, or readable without data: the other end is gone.
            if (fd == watch_) {
                watchLost_.store(true);
            }
            waitOut(deadline);
            break;
        }
        return got;
    }

    int writeAll(int fd, const uint8_t* data, uint32_t count) {
        if (fd < 0 || cancelled_.load()) {
            return LINK_ERR_IO;
        }
        // No write time-out: a write blocks until every byte is handed to the port.
        uint32_t done = 0;
        while (done < count) {
            const ssize_t n = ::write(fd, data + done, count - done);
            if (n > 0) {
                done += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN) {
                return LINK_ERR_IO;
            }
            pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR) {
                return LINK_ERR_IO;
            }
            if (fds[1].revents != 0) {
                cancelled_.store(true);
                return LINK_ERR_IO;
            }
            if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 &&
                (fds[0].revents & POLLOUT) == 0) {
                return LINK_ERR_IO;
            }
        }
        return LINK_OK;
    }

    PortErrorSink sink_;
    void* context_;
    bool lowerLatency_;
    DownloadLatency latency_;
    int download_ = -1;
    int watch_ = -1;
    int wake_[2] = {-1, -1};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> watchLost_{false};
    char error_[256] = "";
    PortOpenError failure_ = PortOpenError::None;
};

} // namespace

std::unique_ptr<SystemSerialPort> createSystemSerialPort(PortErrorSink sink, void* context, PortIo,
                                                         PortLatency latency) {
    return std::make_unique<PosixSerialPort>(sink, context, latency, "");
}

std::unique_ptr<SystemSerialPort> createSystemSerialPortUnder(const char* root, PortErrorSink sink,
                                                              void* context, PortLatency latency) {
    return std::make_unique<PosixSerialPort>(sink, context, latency, root);
}

void systemPortErrorSink(void*, const char* text, const char* caption) {
    std::fprintf(stderr, "%s: %s\n", caption, text);
}

} // namespace kestrune
