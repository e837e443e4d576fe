#include "tools/boxsim/pty_line.h"

#include <cerrno>
#include <cmath>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace boxsim {
namespace {

void sleepFor(double seconds) {
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
}

} // namespace

// The noise model's fault for each byte, as a pseudo-terminal can show it: a silence before a
// byte to the server is kept; towards the box it shows only as a late byte, which the reads'
// time-outs already cover.
static void applyNoise(NoiseModel& noise, const uint8_t* data, size_t n, bool outgoing, Bytes& out,
                       double& pause) {
    out.clear();
    pause = 0;
    for (size_t i = 0; i < n; ++i) {
        const Fault fault = noise.next();
        switch (fault.kind) {
        case Fault::None:
            out.push_back(data[i]);
            break;
        case Fault::Flip:
            out.push_back(static_cast<uint8_t>(data[i] ^ fault.flipMask()));
            break;
        case Fault::Drop:
            break;
        case Fault::Double:
            out.push_back(data[i]);
            out.push_back(data[i]);
            break;
        case Fault::Junk:
            for (uint32_t j = 0; j < fault.junkCount(); ++j) {
                out.push_back(fault.junk(j));
            }
            out.push_back(data[i]);
            break;
        case Fault::Silence:
            if (outgoing) {
                pause += static_cast<double>(fault.silenceUs()) / 1e6;
            }
            out.push_back(data[i]);
            break;
        }
    }
}

bool PtyLine::write(const uint8_t* data, size_t n) {
    Bytes out;
    double pause = 0;
    applyNoise(noise_, data, n, true, out, pause);
    sleepFor(pause);
    // The bytes reach the other end once the line has carried the last of them.
    sleepFor(lineTime(out.size()));
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t w = ::write(fd_, out.data() + done, out.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p = {fd_, POLLOUT, 0};
            poll(&p, 1, 50);
        } else {
            return false;
        }
    }
    bytesOut += n;
    return true;
}

void PtyLine::offerByte(uint8_t b) {
    forgetUnheard();
    if (::write(fd_, &b, 1) == 1) {
        bytesOut += 1;
    }
}

size_t PtyLine::read(uint8_t* buffer, size_t n, double timeout) {
    size_t got = 0;
    Clock::time_point first{};
    while (got < n) {
        if (!pending_.empty()) {
            if (got == 0) {
                first = Clock::now();
            }
            buffer[got++] = pending_.front();
            pending_.pop_front();
            continue;
        }
        pollfd p = {fd_, POLLIN, 0};
        // Rounded up: a wait cut short to 0 ms would spin until the deadline.
        const int r = poll(&p, 1, static_cast<int>(std::ceil(timeout * 1000)));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        uint8_t chunk[4096];
        const ssize_t k = ::read(fd_, chunk, n - got < sizeof chunk ? n - got : sizeof chunk);
        if (k > 0) {
            Bytes heard;
            double late = 0;
            applyNoise(noise_, chunk, static_cast<size_t>(k), false, heard, late);
            pending_.insert(pending_.end(), heard.begin(), heard.end());
        } else if (k < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        } else {
            // The other side closed its end: behave like a silent line.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (got > 0 && baud_ != 0) {
        // They arrived all at once on the pseudo-terminal; a real line takes its time.
        const auto due = first + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(lineTime(got)));
        std::this_thread::sleep_until(due);
    }
    bytesIn += got;
    return got;
}

bool PtyLine::begin(LineWait& wait) {
    if (wait.pause) {
        sleepFor(wait.timeout);
    } else {
        wait.got = read(wait.into(), wait.n, wait.timeout);
    }
    return true;
}

void PtyLine::forgetUnheard() {
    if (slave_ >= 0) {
        tcflush(slave_, TCIFLUSH);
    }
}

void PtyLine::unplug() {
    // The master first: its close hangs up every descriptor of the slave side and removes the
    // device node at once, whoever still holds the slave open.
    pending_.clear();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

void PtyLine::drain() {
    pending_.clear();
    uint8_t sink[256];
    pollfd p = {fd_, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && ::read(fd_, sink, sizeof sink) > 0) {
    }
}

} // namespace boxsim
