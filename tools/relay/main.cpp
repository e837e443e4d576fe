// kestrune-relay: plays a USB serial adapter between the download server and a box (the box
// simulator's pseudo-terminal, or a serial device). An adapter does not pass a received byte on
// at once: it holds what it receives until a packet is full or its latency timer has run out
// since the first byte it holds, and a purge on the host does not reach what it holds. The
// relay does the same in each direction, on a new pseudo-terminal that the server opens.
//
// Prints the server's device on the first line of standard output. Ends when the box's side
// hangs up (the simulator has ended), after passing on what it still holds, or on SIGTERM or
// SIGINT; then prints what it carried on standard error.
//
// Exit status: 0 done; 64 wrong usage; 70 a system call failed.

#include "args/args.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int EXIT_SYSTEM = 70;

volatile std::sig_atomic_t g_stop = 0;
bool g_trace = false;
const Clock::time_point g_start = Clock::now();
extern "C" void onStop(int) {
    g_stop = 1;
}

void makeRaw(int fd) {
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        return;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

// One direction of the adapter: bytes from `in` are held, then queued for `out` a packet at a
// time, each packet written on its own.
struct Direction {
    Direction(const char* name_, int in_, int out_, uint32_t packet_, double latencyMs_)
        : name(name_), in(in_), out(out_), packet(packet_), latencyMs(latencyMs_) {}
    const char* name;
    int in;
    int out;
    uint32_t packet;
    double latencyMs;
    std::deque<uint8_t> held;
    Clock::time_point first{};
    std::deque<std::deque<uint8_t>> packets;
    uint64_t bytes = 0;
    uint64_t packetCount = 0;

    void take(const uint8_t* data, size_t n, Clock::time_point now) {
        for (size_t i = 0; i < n; ++i) {
            if (held.empty()) {
                first = now;
            }
            held.push_back(data[i]);
            if (held.size() >= packet) {
                send(packet);
                // The timer starts again with each packet sent.
                first = now;
            }
        }
    }
    void send(size_t n) {
        if (g_trace) {
            std::fprintf(stderr, "%10.3f %s %zu bytes", msSince(g_start, Clock::now()) / 1000, name,
                         n);
            for (size_t i = 0; i < n && i < 16; ++i) {
                std::fprintf(stderr, " %02X", held[i]);
            }
            std::fprintf(stderr, "\n");
        }
        packets.emplace_back(held.begin(), held.begin() + static_cast<long>(n));
        held.erase(held.begin(), held.begin() + static_cast<long>(n));
        bytes += n;
        packetCount += 1;
    }
    // The latency timer: what is held goes once it has waited long enough.
    void expire(Clock::time_point now) {
        if (!held.empty() && msSince(first, now) >= latencyMs) {
            send(held.size());
        }
    }
    // Milliseconds until the timer runs out, or -1 when nothing is held.
    int wait(Clock::time_point now) const {
        if (held.empty()) {
            return -1;
        }
        const double left = latencyMs - msSince(first, now);
        return left <= 0 ? 0 : static_cast<int>(left) + 1;
    }
    // Writes what the far side takes now; false when it is gone.
    bool flush() {
        while (!packets.empty()) {
            std::deque<uint8_t>& p = packets.front();
            uint8_t chunk[4096];
            size_t n = 0;
            for (; n < p.size() && n < sizeof chunk; ++n) {
                chunk[n] = p[n];
            }
            const ssize_t w = ::write(out, chunk, n);
            if (w < 0) {
                return errno == EAGAIN || errno == EINTR;
            }
            p.erase(p.begin(), p.begin() + w);
            if (!p.empty()) {
                return true;
            }
            packets.pop_front();
        }
        return true;
    }
    static double msSince(Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    }
};

struct Options {
    std::string box;
    std::string link;
    uint32_t packet = 62;
    double latency = 16;
    uint32_t toBoxPacket = 62;
    double toBoxLatency = 0;
};

bool repointLink(const std::string& link, const std::string& target) {
    const std::string temp = link + ".relay-" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) {
        return false;
    }
    if (rename(temp.c_str(), link.c_str()) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

// Reads what `d.in` has; false when that side has hung up.
bool readInto(Direction& d, Clock::time_point now) {
    uint8_t chunk[4096];
    const ssize_t n = ::read(d.in, chunk, sizeof chunk);
    if (n > 0) {
        d.take(chunk, static_cast<size_t>(n), now);
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app("", "kestrune-relay");
    Options o;
    app.description("Plays a USB serial adapter between the server and the box on DEVICE: bytes "
                    "are held until a packet is full or the latency has passed since the first "
                    "one held. Prints the server's new pseudo-terminal on the first line of "
                    "standard output.");
    kestrune::args::setUp(app, KESTRUNE_VERSION);
    using kestrune::args::Decimal;
    using kestrune::args::Number;
    app.add_option("--latency", o.latency,
                   "latency timer towards the server in ms (default 16; 0 passes bytes on at once)")
        ->type_name("MS")
        ->transform(Decimal(0, 10000));
    app.add_option("--packet", o.packet, "packet size towards the server in bytes (default 62)")
        ->type_name("N")
        ->transform(Number(1, 65536));
    app.add_option("--to-box-latency", o.toBoxLatency,
                   "latency timer towards the box in ms (default 0)")
        ->type_name("MS")
        ->transform(Decimal(0, 10000));
    app.add_option("--to-box-packet", o.toBoxPacket,
                   "packet size towards the box in bytes (default 62)")
        ->type_name("N")
        ->transform(Number(1, 65536));
    app.add_flag("--trace", g_trace,
                 "every packet passed on, with a timestamp and its first bytes, on stderr");
    app.add_option("--link", o.link, "point the symbolic link PATH at the server's device")
        ->type_name("PATH");
    app.add_option("DEVICE", o.box, "the box's device (the box simulator's first line)")
        ->required();
    if (const int status = kestrune::args::parse(app, argc, argv);
        status != kestrune::args::PROCEED) {
        return status;
    }

    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, onStop);
    std::signal(SIGINT, onStop);

    const int box = open(o.box.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (box < 0) {
        std::fprintf(stderr, "kestrune-relay: %s: %s\n", o.box.c_str(), std::strerror(errno));
        return EXIT_SYSTEM;
    }
    makeRaw(box);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        std::fprintf(stderr, "kestrune-relay: pseudo-terminal: %s\n", std::strerror(errno));
        return EXIT_SYSTEM;
    }
    const std::string name = ptsname(master);
    // Kept open and raw: the master never sees a hang-up when the server closes its end, and
    // the server finds a raw line whenever it opens it.
    const int slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        std::fprintf(stderr, "kestrune-relay: %s: %s\n", name.c_str(), std::strerror(errno));
        return EXIT_SYSTEM;
    }
    makeRaw(slave);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!o.link.empty() && !repointLink(o.link, name)) {
        std::fprintf(stderr, "kestrune-relay: cannot point %s at %s: %s\n", o.link.c_str(),
                     name.c_str(), std::strerror(errno));
        return EXIT_SYSTEM;
    }
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);

    Direction toServer{"to the server", box, master, o.packet, o.latency};
    Direction toBox{"to the box", master, box, o.toBoxPacket, o.toBoxLatency};
    Direction* both[] = {&toServer, &toBox};
    bool boxGone = false;
    while (g_stop == 0 && !boxGone) {
        Clock::time_point now = Clock::now();
        int timeout = -1;
        for (Direction* d : both) {
            const int w = d->wait(now);
            if (w >= 0 && (timeout < 0 || w < timeout)) {
                timeout = w;
            }
        }
        pollfd fds[2] = {{box, POLLIN, 0}, {master, POLLIN, 0}};
        if (!toBox.packets.empty()) {
            fds[0].events |= POLLOUT;
        }
        if (!toServer.packets.empty()) {
            fds[1].events |= POLLOUT;
        }
        const int r = poll(fds, 2, timeout);
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "kestrune-relay: poll: %s\n", std::strerror(errno));
            return EXIT_SYSTEM;
        }
        now = Clock::now();
        if (r > 0) {
            if ((fds[0].revents & POLLIN) != 0) {
                boxGone = !readInto(toServer, now);
            } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                boxGone = true;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                readInto(toBox, now);
            }
        }
        for (Direction* d : both) {
            d->expire(now);
        }
        if (!toServer.flush() || !toBox.flush()) {
            break;
        }
    }
    // The box is gone: what the adapter still held reaches the server all the same.
    if (!toServer.held.empty()) {
        toServer.send(toServer.held.size());
    }
    toServer.flush();
    for (const Direction* d : both) {
        std::fprintf(stderr, "kestrune-relay: %s %llu bytes in %llu packets\n", d->name,
                     static_cast<unsigned long long>(d->bytes),
                     static_cast<unsigned long long>(d->packetCount));
    }
    close(master);
    close(slave);
    close(box);
    return 0;
}
