// kestrune-boxsim: plays the set top box on a pseudo-terminal (or a given serial device), so
// that the download server can be run and checked without hardware. It reads the same .dl
// image as the server and checks every block it receives against it, byte for byte.
//
// Exit status: 0 every download byte-exact; 1 a block carried wrong data or wrong fields;
// 2 a download did not complete (the server stopped, or the box ended early as asked);
// 3 the server broke the link protocol; 64 wrong usage; 70 a system call failed.

#include "tools/boxsim/box.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace boxsim;

namespace {

void usage(FILE* out) {
    std::fputs(
        "usage: kestrune-boxsim [OPTIONS] IMAGE.dl\n"
        "\n"
        "Plays the set top box on a new pseudo-terminal and checks the download of IMAGE.dl.\n"
        "Prints the device path on the first line of standard output, then one verdict line\n"
        "per download.\n"
        "\n"
        "  --device PATH          use this serial device instead of a new pseudo-terminal\n"
        "  --link PATH            point the symbolic link PATH at the device (atomically)\n"
        "  --buffer-size N        bufferSize of the DownloadInfoRequest (default 65536)\n"
        "  --max-block N          maximumBlockSize of the DownloadInfoRequest (default 0)\n"
        "  --no-type1             compatibility descriptor of type 2 only (no type 1)\n"
        "  --wakeup-byte N        value of the wake-up bytes (default 0x55)\n"
        "  --baud N               pace the line at N baud (10 bits a byte); default: no pacing\n"
        "  --downloads N          serve N downloads one after another (default 1)\n"
        "  --timeout S            give up when the server is silent for S seconds (default 10)\n"
        "  --wait S               give up when no server answers the wake-up within S seconds\n"
        "                         (default 120)\n"
        "  --verbose              every frame on standard error\n"
        "\n"
        "Faults:\n"
        "  --nak N[:K]            answer the server's frame N (0 = DownloadInfoResponse, 1 = the\n"
        "                         first block, ...) with a CRC error K times (default 1)\n"
        "  --corrupt-request N[:K]  damage the CRC of the box's request N (0 =\n"
        "                         DownloadInfoRequest, 1 = the first data request) K times\n"
        "  --silent               after the wake-up acknowledgement, send nothing more\n"
        "  --hold FILE            send no wake-up byte until FILE exists\n"
        "  --end-early N          end with reason 5 at the first window end after N blocks\n"
        "  --repeat-block W       after window W (1 = first) ask for its first block again\n"
        "  --wrong-id N           data request N (1 = first) carries a wrong downloadId\n"
        "  --noise RATE           a noisy line after the wake-up: each byte, both ways, is hit\n"
        "                         with chance RATE (0 to 1) by a flipped bit, a lost, doubled\n"
        "                         or stray byte, or a silence before it\n"
        "  --seed N               the noise's seed (default 1): the same seed, the same noise\n"
        "\n"
        "Exit status: 0 byte-exact, 1 mismatch, 2 incomplete, 3 link protocol broken,\n"
        "64 usage, 70 system error.\n",
        out);
}

bool parseNumber(const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && value >= 0;
}

bool parseUnsigned(const char* text, uint64_t max, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && text[0] != '-' && value <= max;
}

bool parseCount(const char* text, std::map<int, int>& into) {
    std::string s(text);
    const size_t colon = s.find(':');
    uint64_t index = 0;
    uint64_t times = 1;
    if (!parseUnsigned(s.substr(0, colon).c_str(), 1000000, index) ||
        (colon != std::string::npos && !parseUnsigned(s.substr(colon + 1).c_str(), 1000, times))) {
        return false;
    }
    into[static_cast<int>(index)] = static_cast<int>(times);
    return true;
}

// ---- The device.

int g_childPid = -1;
extern "C" void forwardSignal(int signal) {
    if (g_childPid > 0) {
        kill(g_childPid, signal);
    }
}

// setsid() fails for a process group leader (a job started by an interactive shell). Run the
// box in a child then, and let this process only pass on signals and the exit status.
void becomeSessionLeader() {
    if (getpgrp() != getpid()) {
        setsid();
        return;
    }
    const pid_t child = fork();
    if (child < 0) {
        return;
    }
    if (child == 0) {
        setsid();
        return;
    }
    g_childPid = child;
    std::signal(SIGINT, forwardSignal);
    std::signal(SIGTERM, forwardSignal);
    std::signal(SIGHUP, forwardSignal);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

void makeRaw(int fd, uint32_t baud) {
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        return;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (baud == 57600) {
        cfsetispeed(&t, B57600);
        cfsetospeed(&t, B57600);
    } else if (baud == 19200) {
        cfsetispeed(&t, B19200);
        cfsetospeed(&t, B19200);
    }
    tcsetattr(fd, TCSANOW, &t);
}

bool repointLink(const char* link, const std::string& target) {
    const std::string temp = std::string(link) + ".boxsim-" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) {
        return false;
    }
    if (rename(temp.c_str(), link) != 0) {
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t u = 0;
        double d = 0;
        bool ok = true;
        auto take = [&] {
            ++i;
            return v != nullptr;
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--device") {
            ok = take() && (o.device = v) != nullptr;
        } else if (a == "--link") {
            ok = take() && (o.link = v) != nullptr;
        } else if (a == "--buffer-size") {
            ok = take() && parseUnsigned(v, 0xFFFFFFFFu, u) && ((o.bufferSize = uint32_t(u)), true);
        } else if (a == "--max-block") {
            ok =
                take() && parseUnsigned(v, 0xFFFF, u) && ((o.maximumBlockSize = uint16_t(u)), true);
        } else if (a == "--no-type1") {
            o.typeOne = false;
        } else if (a == "--wakeup-byte") {
            ok = take() && parseUnsigned(v, 0xFF, u) && ((o.wakeupByte = uint8_t(u)), true);
        } else if (a == "--baud") {
            ok = take() && parseUnsigned(v, 4000000, u) && u > 0 && ((o.baud = uint32_t(u)), true);
        } else if (a == "--downloads") {
            ok = take() && parseUnsigned(v, 1000, u) && u > 0 && ((o.downloads = int(u)), true);
        } else if (a == "--timeout") {
            ok = take() && parseNumber(v, d) && d > 0 && ((o.timeout = d), true);
        } else if (a == "--wait") {
            ok = take() && parseNumber(v, d) && d > 0 && ((o.wait = d), true);
        } else if (a == "--nak") {
            ok = take() && parseCount(v, o.naks);
        } else if (a == "--corrupt-request") {
            ok = take() && parseCount(v, o.corrupt);
        } else if (a == "--silent") {
            o.silent = true;
        } else if (a == "--hold") {
            ok = take() && (o.hold = v) != nullptr;
        } else if (a == "--end-early") {
            ok = take() && parseUnsigned(v, 1000000, u) && ((o.endEarly = int(u)), true);
        } else if (a == "--repeat-block") {
            ok = take() && parseUnsigned(v, 1000000, u) && u > 0 &&
                 ((o.repeatWindow = int(u)), true);
        } else if (a == "--wrong-id") {
            ok = take() && parseUnsigned(v, 1000000, u) && u > 0 && ((o.wrongId = int(u)), true);
        } else if (a == "--noise") {
            ok = take() && parseNumber(v, d) && d <= 1 && ((o.noise = d), true);
        } else if (a == "--seed") {
            ok = take() && parseUnsigned(v, UINT64_MAX, u) && ((o.seed = u), true);
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a.size() > 1 && a[0] == '-') {
            ok = false;
        } else if (o.image == nullptr) {
            o.image = argv[i];
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "kestrune-boxsim: bad option or value: %s\n", a.c_str());
            usage(stderr);
            return EXIT_USAGE;
        }
    }
    if (o.image == nullptr) {
        usage(stderr);
        return EXIT_USAGE;
    }

    Bytes storage;
    std::vector<Module> modules;
    std::string error;
    if (!readImage(o.image, storage, modules, error)) {
        std::fprintf(stderr, "kestrune-boxsim: %s\n", error.empty() ? "bad image" : error.c_str());
        return EXIT_USAGE;
    }

    std::signal(SIGPIPE, SIG_IGN);
    int fd = -1;
    int slave = -1;
    std::string name;
    if (o.device != nullptr) {
        fd = open(o.device, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "kestrune-boxsim: %s: %s\n", o.device, std::strerror(errno));
            return EXIT_SYSTEM;
        }
        makeRaw(fd, o.baud);
        name = o.device;
    } else {
        becomeSessionLeader();
        fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
            std::fprintf(stderr, "kestrune-boxsim: pseudo-terminal: %s\n", std::strerror(errno));
            return EXIT_SYSTEM;
        }
        name = ptsname(fd);
        // Our own controlling terminal, raw at once and kept open: nobody else adopts it, no
        // byte is ever taken for a signal or a line edit, and the master never sees EIO when
        // the server closes its end.
        slave = open(name.c_str(), O_RDWR | O_CLOEXEC);
        if (slave < 0) {
            std::fprintf(stderr, "kestrune-boxsim: %s: %s\n", name.c_str(), std::strerror(errno));
            return EXIT_SYSTEM;
        }
        ioctl(slave, TIOCSCTTY, 0);
        makeRaw(slave, o.baud);
    }
    if (o.link != nullptr && !repointLink(o.link, name)) {
        std::fprintf(stderr, "kestrune-boxsim: cannot point %s at %s: %s\n", o.link, name.c_str(),
                     std::strerror(errno));
        return EXIT_SYSTEM;
    }
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);

    // Non-blocking: writes wait in poll() (see Line::write), wake-up bytes may be dropped.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Noise noise(o.noise, o.seed);
    Line line(fd, o.baud, noise, name);
    Box box(line, o, modules, noise);
    int worst = EXIT_EXACT;
    for (int n = 1; n <= o.downloads; ++n) {
        const uint64_t faultsBefore = noise.faults();
        const Verdict verdict = box.download(n);
        noise.stop();
        std::string text = verdict.text;
        if (o.noise > 0) {
            text += "; " + std::to_string(noise.faults() - faultsBefore) + " line faults";
        }
        std::printf("boxsim %s: download %d: %s\n", name.c_str(), n, text.c_str());
        std::fflush(stdout);
        if (verdict.status != EXIT_EXACT && (worst == EXIT_EXACT || verdict.status < worst)) {
            worst = verdict.status;
        }
        // Let the server close its end before the next download's wake-up.
        line.drain();
    }
    (void)slave;
    return worst;
}
