// Native peer for the Win32 serial port tests under Wine: owns a pseudo-terminal pair,
// points a Wine COM port's path at its slave side, runs the given command (the Windows
// test program under Wine) and plays the box on the master side meanwhile.
//
//   com_peer <port-link> -- <command> [args...]
//
// The pty's owner takes the slave as its controlling terminal in raw mode and keeps it
// open, so that the wineserver never adopts the pty (a cooked 0x03 would kill it).
//
// Commands the test program sends, one byte each:
//   'S'  report the line settings now: speed code (1 = 57600, 2 = 19200, 0 other),
//        data bits, parity on, two stop bits
//   'W'  300 ms later, note the line settings and send one wake-up byte 0x00
//   'R'  send the settings noted at the last 'W'
//   'P'  send the five bytes 1 2 3 4 5
//   'H'  take nothing for 1 s (a writer fills the line and blocks), then discard what came
//        meanwhile and send 'h'
//   'F'  take a frame (answering the first payload with 4, the second with 3), then send
//        the payload back as a frame (first corrupted, expecting 4, then whole, expecting
//        3), then send 'K' if every answer was as expected, else 'E'

#include "link/link_frame.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
int master = -1;
int control = -1; // the parent's pipe: end of file when the test is over

bool sendBytes(const Bytes& b) {
    size_t done = 0;
    while (done < b.size()) {
        const ssize_t n = write(master, b.data() + done, b.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

Bytes receive(size_t count, int timeoutMs) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            break;
        }
        pollfd p = {master, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r <= 0) {
            continue;
        }
        uint8_t buffer[4096];
        const size_t want = count - out.size() < sizeof buffer ? count - out.size() : sizeof buffer;
        const ssize_t n = read(master, buffer, want);
        if (n <= 0) {
            // The slave is held open here, so this is not a closed COM port: give up.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

Bytes settingsReport() {
    termios t;
    if (tcgetattr(master, &t) != 0) {
        return {0xFF, 0xFF, 0xFF, 0xFF};
    }
    const speed_t speed = cfgetospeed(&t);
    const uint8_t code = speed == B57600 ? 1 : speed == B19200 ? 2 : 0;
    const tcflag_t size = t.c_cflag & CSIZE;
    const uint8_t bits = size == CS8 ? 8 : size == CS7 ? 7 : size == CS6 ? 6 : 5;
    return {code, bits, static_cast<uint8_t>((t.c_cflag & PARENB) ? 1 : 0),
            static_cast<uint8_t>((t.c_cflag & CSTOPB) ? 1 : 0)};
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void frameExchange() {
    bool ok = true;
    Bytes payload;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Bytes header = receive(kestrune::LINK_HEADER_SIZE, 5000);
        ok = ok && header.size() == kestrune::LINK_HEADER_SIZE;
        if (!ok) {
            break;
        }
        sendBytes({kestrune::LINK_ACK_HEADER});
        payload = receive(be32(header.data()), 5000);
        const uint32_t crc =
            kestrune::crc32(payload.data(), static_cast<uint32_t>(payload.size()), 0xFFFFFFFFu);
        ok = ok && crc == be32(header.data() + 4);
        sendBytes({attempt == 0 ? kestrune::LINK_NAK_CRC : kestrune::LINK_ACK_OK});
    }
    Bytes header(kestrune::LINK_HEADER_SIZE);
    kestrune::buildLinkHeader(payload.data(), static_cast<uint32_t>(payload.size()), header.data());
    for (int attempt = 0; attempt < 2 && ok; ++attempt) {
        sendBytes(header);
        ok = receive(1, 5000) == Bytes{kestrune::LINK_ACK_HEADER};
        Bytes sent = payload;
        if (attempt == 0 && !sent.empty()) {
            sent[sent.size() / 2] ^= 0x40;
        }
        sendBytes(sent);
        const Bytes expected = {attempt == 0 ? kestrune::LINK_NAK_CRC : kestrune::LINK_ACK_OK};
        ok = ok && receive(1, 5000) == expected;
    }
    sendBytes({static_cast<uint8_t>(ok ? 'K' : 'E')});
}

// The box: one command byte at a time until the test is over.
void serve() {
    Bytes noted = {0, 0, 0, 0};
    for (;;) {
        pollfd fds[2] = {{master, POLLIN, 0}, {control, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        uint8_t command = 0;
        const ssize_t n = read(master, &command, 1);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        switch (command) {
        case 'S':
            sendBytes(settingsReport());
            break;
        case 'W':
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            noted = settingsReport();
            sendBytes({0x00});
            break;
        case 'R':
            sendBytes(noted);
            break;
        case 'P':
            sendBytes({1, 2, 3, 4, 5});
            break;
        case 'H':
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            tcflush(master, TCIFLUSH);
            sendBytes({'h'});
            break;
        case 'F':
            frameExchange();
            break;
        default:
            break;
        }
    }
}

bool pointLinkAt(const std::string& link, const char* target) {
    const std::string dir = link.substr(0, link.rfind('/'));
    mkdir(dir.c_str(), 0755); // the prefix may not exist yet
    const std::string temporary = link + ".new." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(target, temporary.c_str()) != 0) {
        return false;
    }
    return rename(temporary.c_str(), link.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: com_peer <port-link> -- <command> [args...]\n");
        return 2;
    }
    int slave = -1;
    char slaveName[128] = {};
    if (openpty(&master, &slave, slaveName, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 2;
    }
    int ready[2];
    int done[2];
    if (pipe(ready) != 0 || pipe(done) != 0) {
        std::perror("pipe");
        return 2;
    }

    const pid_t box = fork();
    if (box == 0) {
        close(ready[0]);
        close(done[1]);
        control = done[0];
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        const bool pointed = pointLinkAt(argv[1], slaveName);
        const char status = pointed ? 'y' : 'n';
        [[maybe_unused]] ssize_t w = write(ready[1], &status, 1);
        close(ready[1]);
        if (pointed) {
            serve();
        }
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    close(master);
    close(slave);
    char status = 'n';
    if (read(ready[0], &status, 1) != 1 || status != 'y') {
        std::fprintf(stderr, "com_peer: cannot point %s at %s\n", argv[1], slaveName);
        kill(box, SIGTERM);
        waitpid(box, nullptr, 0);
        return 2;
    }

    const pid_t test = fork();
    if (test == 0) {
        close(done[1]);
        execvp(argv[3], argv + 3);
        std::perror("exec");
        _exit(127);
    }
    int testStatus = 0;
    waitpid(test, &testStatus, 0);
    close(done[1]); // the box sees the end of its control pipe and leaves
    waitpid(box, nullptr, 0);
    if (WIFEXITED(testStatus)) {
        return WEXITSTATUS(testStatus);
    }
    return 128 + (WIFSIGNALED(testStatus) ? WTERMSIG(testStatus) : 0);
}
