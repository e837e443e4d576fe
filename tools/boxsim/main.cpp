// kestrune-boxsim: plays the set top box on a pseudo-terminal (or a given serial device), so
// that the download server can be run and checked without hardware. It reads the same .dl
// image as the server and checks every block it receives against it, byte for byte.
//
// It can also play a line of boxes on one port, one after another with a power-off gap
// between them, each restarting after its download, or a box that is unplugged mid-download.
//
// Exit status: 0 every download byte-exact; 1 a block carried wrong data or wrong fields, or
// a restarting box was answered; 2 a download did not complete (the server stopped, the box
// ended early or was unplugged as asked); 3 the server broke the link protocol; 64 wrong
// usage; 70 a system call failed.

#include "args/args.h"
#include "tools/boxsim/box.h"
#include "tools/boxsim/box_messages.h"
#include "tools/boxsim/pty_line.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace boxsim;

namespace {

// "N" or "N:K": the index of a frame and how many times (default once).
std::string parseCount(const char* option, const std::string& text, std::map<int, int>& into) {
    const size_t colon = text.find(':');
    uint64_t index = 0;
    uint64_t times = 1;
    if (!kestrune::args::parseNumber(text.substr(0, colon), 1000000, index) ||
        (colon != std::string::npos &&
         !kestrune::args::parseNumber(text.substr(colon + 1), 1000, times))) {
        return std::string(option) + " needs N or N:K (numbers), not " + text;
    }
    into[static_cast<int>(index)] = static_cast<int>(times);
    return "";
}

// "A:B[:C]": hexadecimal numbers (with or without 0x, as serve prints them) of at most the
// given maxima; an OUI may also be written as 00-A0-B1.
std::string parseFields(const char* option, const std::string& text,
                        std::initializer_list<uint64_t> maxima, std::vector<uint32_t>& fields) {
    fields.clear();
    size_t at = 0;
    for (uint64_t max : maxima) {
        const size_t colon = text.find(':', at);
        const bool last = fields.size() + 1 == maxima.size();
        std::string field = text.substr(at, colon - at);
        if (field.size() == 8 && field[2] == '-' && field[5] == '-') {
            field = field.substr(0, 2) + field.substr(3, 2) + field.substr(6, 2);
        }
        if (field.rfind("0x", 0) != 0 && field.rfind("0X", 0) != 0) {
            field = "0x" + field;
        }
        uint64_t value = 0;
        if ((colon == std::string::npos) != last ||
            !kestrune::args::parseNumber(field, max, value)) {
            return std::string(option) + " needs " +
                   (maxima.size() == 3 ? "OUI:MODEL:VERSION" : "MODEL:VERSION") +
                   " (hexadecimal), not " + text;
        }
        fields.push_back(static_cast<uint32_t>(value));
        at = colon + 1;
    }
    return "";
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

// The --link this box made and the device it points at, for removeLink() at any end: a
// return from main, an unplug, or a signal (whose handler may use only these fixed buffers).
char g_link[4096];
char g_linkTarget[4096];

// Only our own link goes: another box may have taken it over since. Async-signal-safe.
void removeLink() {
    if (g_link[0] == '\0') {
        return;
    }
    char points[sizeof g_linkTarget];
    const ssize_t n = readlink(g_link, points, sizeof points - 1);
    if (n > 0) {
        points[n] = '\0';
        if (std::strcmp(points, g_linkTarget) == 0) {
            unlink(g_link);
        }
    }
    g_link[0] = '\0';
}

// SIGTERM, SIGINT, SIGHUP end the box at once (nothing of a download is worth finishing for a
// box being stopped), without leaving its link behind; it still dies of the signal.
extern "C" void onEndSignal(int signal) {
    removeLink();
    std::signal(signal, SIG_DFL);
    raise(signal);
}

// A restarting loader tries this often at most.
constexpr int MAX_ATTEMPTS = 10;

int worse(int worst, int status) {
    return status != EXIT_EXACT && (worst == EXIT_EXACT || status < worst) ? status : worst;
}

void sleepDecimal(double seconds) {
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
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

// What the command line sets beside the box's own Options.
struct Request {
    Options o;
    bool noTypeOne = false;
    uint32_t maxBlock = 0;
    uint32_t wakeup = 0x55;
    uint32_t serialType = 0x40;
    uint32_t downloads = 1;
    uint32_t boxes = 0;
    uint32_t unplugAfter = 0;
    bool unplugSet = false;
    uint32_t endEarly = 0;
    uint32_t repeatWindow = 0;
    uint32_t wrongId = 0;
    uint32_t faultyBox = 0; // 0: every box
    bool endEarlySet = false;
    std::vector<uint32_t> hw; // --hardware OUI, MODEL, VERSION
    std::vector<uint32_t> sw; // --software MODEL, VERSION
};

// An option whose value a parser reads: its mistake is the parser's message.
void parsed(CLI::App& app, const std::string& name, const std::string& valueName,
            const std::string& help, std::function<std::string(const std::string&)> parse) {
    app.add_option_function<std::string>(
           name,
           [parse](const std::string& value) {
               if (const std::string mistake = parse(value); !mistake.empty()) {
                   throw kestrune::args::Mistake(mistake);
               }
           },
           help)
        ->type_name(valueName)
        ->trigger_on_parse();
}

void declareBoxsim(CLI::App& app, Request& r) {
    using kestrune::args::Decimal;
    using kestrune::args::Number;
    Options& o = r.o;
    app.description("Plays the set top box on a new pseudo-terminal and checks the download of "
                    "IMAGE.dl. Prints the device path on the first line of standard output, then "
                    "one verdict line per download.");
    kestrune::args::setUp(app, KESTRUNE_VERSION);
    app.add_option("--device", o.device, "use this serial device instead of a new pseudo-terminal")
        ->type_name("PATH");
    app.add_option("--link", o.link, "point the symbolic link PATH at the device (atomically)")
        ->type_name("PATH");
    app.add_option("--buffer-size", o.bufferSize,
                   "bufferSize of the DownloadInfoRequest (default 65536)")
        ->type_name("N")
        ->transform(Number(0, std::numeric_limits<decltype(o.bufferSize)>::max()));
    app.add_option("--max-block", r.maxBlock,
                   "maximumBlockSize of the DownloadInfoRequest (default 0)")
        ->type_name("N")
        ->transform(Number(0, 65535));
    app.add_flag("--no-type1", r.noTypeOne, "compatibility descriptor of type 2 only (no type 1)");
    parsed(app, "--hardware", "OUI:MODEL:VERSION",
           "send a system hardware compatibility descriptor (type 1) with these values, in "
           "hexadecimal (00-A0-B1:5601:0203 or 0x00A0B1:0x5601:0x0203), instead of the default "
           "descriptors",
           [&r](const std::string& v) {
               return parseFields("--hardware", v, {0xFFFFFF, 0xFFFF, 0xFFFF}, r.hw);
           });
    parsed(app, "--software", "MODEL:VERSION",
           "send a system software compatibility descriptor (type 2) with these values and the "
           "OUI of --hardware (0 without)",
           [&r](const std::string& v) {
               return parseFields("--software", v, {0xFFFF, 0xFFFF}, r.sw);
           });
    app.add_option("--serial", o.serial,
                   "send TEXT as the unit's serial in a compatibility descriptor of the "
                   "user-defined type of --serial-type, after the others")
        ->type_name("TEXT")
        ->check(CLI::Validator(
            [](const std::string& v) {
                return v.empty() || v.size() > 255 ? std::string("at most 255 bytes") : "";
            },
            "", "serial"));
    app.add_option("--serial-type", r.serialType,
                   "descriptorType of the --serial descriptor (default 0x40)")
        ->type_name("TYPE")
        ->transform(Number(0, 255));
    app.add_option("--wakeup-byte", r.wakeup, "value of the wake-up bytes (default 0x55)")
        ->type_name("N")
        ->transform(Number(0, 255));
    app.add_option("--wakeup-every", o.wakeupEvery, "seconds between wake-up bytes (default 0.05)")
        ->type_name("S")
        ->transform(Decimal(0.001, 10));
    app.add_option("--baud", o.baud, "pace the line at N baud (10 bits a byte); default: no pacing")
        ->type_name("N")
        ->transform(Number(1, 4000000));
    app.add_option("--downloads", r.downloads,
                   "serve N downloads one after another (default 1; with --boxes, per box)")
        ->type_name("N")
        ->transform(Number(1, 1000));
    app.add_option("--boxes", r.boxes,
                   "a line of N boxes in a row; the verdicts say \"box B of N\"")
        ->type_name("N")
        ->transform(Number(1, 100000));
    app.add_option("--stay", o.stay,
                   "after the last box, keep the line open (a port with no box) for S seconds")
        ->type_name("S")
        ->transform(Decimal(0, 86400));
    app.add_option("--gap", o.gap,
                   "power off for S seconds between one box and the next (default 0)")
        ->type_name("S")
        ->transform(Decimal(0, 86400));
    app.add_option("--reboot", o.reboot,
                   "after a complete download, restart: S seconds of wake-up bytes that nothing "
                   "may answer")
        ->type_name("S")
        ->transform(Decimal(0, 86400));
    app.add_flag("--restart-after-failure", o.restartAfterFailure,
                 "after a download that did not complete, wake up again at once and download "
                 "again (up to 10 attempts); the fault options hit only the first attempt");
    app.add_option("--timeout", o.timeout,
                   "give up when the server is silent for S seconds (default 10)")
        ->type_name("S")
        ->transform(Decimal(0.001, 86400));
    app.add_option("--wait", o.wait,
                   "give up when no server answers the wake-up within S seconds (default 120)")
        ->type_name("S")
        ->transform(Decimal(0.001, 86400));
    app.add_flag("-v,--verbose", o.verbose, "every step on standard error");
    app.option_defaults()->group("Faults");
    parsed(app, "--nak", "N[:K]",
           "answer the server's frame N (0 = DownloadInfoResponse, 1 = the first block, ...) "
           "with a CRC error K times (default 1)",
           [&o](const std::string& v) { return parseCount("--nak", v, o.naks); });
    parsed(app, "--corrupt-request", "N[:K]",
           "damage the CRC of the box's request N (0 = DownloadInfoRequest, 1 = the first data "
           "request) K times",
           [&o](const std::string& v) { return parseCount("--corrupt-request", v, o.corrupt); });
    app.add_flag("--silent", o.silent, "after the wake-up acknowledgement, send nothing more");
    app.add_option("--hold", o.hold, "send no wake-up byte until FILE exists")->type_name("FILE");
    app.add_option_function<uint32_t>(
           "--end-early",
           [&r](const uint32_t& v) {
               r.endEarly = v;
               r.endEarlySet = true;
           },
           "end with reason 5 at the first window end after N blocks; without --buffer-size the "
           "box asks for windows of one block (bufferSize 0), so that it ends right after block "
           "N even when the image fits one window")
        ->type_name("N")
        ->transform(Number(0, 1000000));
    app.add_option("--faulty-box", r.faultyBox,
                   "with --boxes: the fault options hit box B only; the others are sound")
        ->type_name("B")
        ->transform(Number(1, 100000));
    app.add_option("--repeat-block", r.repeatWindow,
                   "after window W (1 = first) ask for its first block again")
        ->type_name("W")
        ->transform(Number(1, 1000000));
    app.add_option("--wrong-id", r.wrongId, "data request N (1 = first) carries a wrong downloadId")
        ->type_name("N")
        ->transform(Number(1, 1000000));
    app.add_option_function<uint32_t>(
           "--unplug-after",
           [&r](const uint32_t& v) {
               r.unplugAfter = v;
               r.unplugSet = true;
           },
           "after N blocks (0 = after the DownloadInfoResponse) the box is unplugged: its device "
           "and --link disappear and the simulator exits")
        ->type_name("N")
        ->transform(Number(0, 1000000));
    app.add_option("--noise", o.noise,
                   "a noisy line after the wake-up: each byte, both ways, is hit with chance RATE "
                   "by a flipped bit, a lost, doubled or stray byte, or a silence before it")
        ->type_name("RATE")
        ->transform(Decimal(0, 1));
    app.add_option("--noise-rise", o.noiseRise,
                   "with --boxes: box B's line has the noise RATE + (B - 1) x STEP, a cable "
                   "that wears box by box")
        ->type_name("STEP")
        ->transform(Decimal(0, 1));
    app.add_option("--seed", o.seed, "the noise's seed (default 1): the same seed, the same noise")
        ->type_name("N")
        ->transform(Number(0, std::numeric_limits<decltype(o.seed)>::max()));
    CLI::Option* replay =
        app.add_option(
               "--replay", o.replay,
               "instead of IMAGE: play the box of a captured download (its requests in order) "
               "and check that every answer is the one captured")
            ->type_name("CAPTURE.pcap");
    app.add_option("IMAGE", o.image, "the image the server downloads (.dl)")
        ->group("Arguments")
        ->excludes(replay);
    // The footer is printed as it is: lines of 80 columns at most, broken by hand.
    app.footer("Exit status: 0 byte-exact, 1 mismatch (or a restarting box answered),\n"
               "2 incomplete (or unplugged), 3 link protocol broken, 64 wrong usage,\n"
               "70 system error.");
}

} // namespace

int main(int argc, char** argv) {
    CLI::App cmd("", "kestrune-boxsim");
    Request r;
    declareBoxsim(cmd, r);
    if (const int status = kestrune::args::parse(cmd, argc, argv);
        status != kestrune::args::PROCEED) {
        return status;
    }
    Options& o = r.o;
    if (o.image.empty() && o.replay.empty()) {
        return kestrune::args::fail(cmd, "missing IMAGE (or --replay CAPTURE.pcap)");
    }
    const bool noTypeOne = r.noTypeOne;
    const uint32_t maxBlock = r.maxBlock;
    const uint32_t wakeup = r.wakeup;
    const uint32_t downloads = r.downloads;
    const uint32_t boxes = r.boxes;
    const uint32_t unplugAfter = r.unplugAfter;
    const bool unplugSet = r.unplugSet;
    const uint32_t endEarly = r.endEarly;
    const uint32_t repeatWindow = r.repeatWindow;
    const uint32_t wrongId = r.wrongId;
    const uint32_t faultyBox = r.faultyBox;
    const bool endEarlySet = r.endEarlySet;
    const std::vector<uint32_t>& hw = r.hw;
    const std::vector<uint32_t>& sw = r.sw;
    o.typeOne = !noTypeOne;
    if (!hw.empty()) {
        appendCompatibilityDescriptor(o.descriptors, DESCRIPTOR_HARDWARE, hw[0],
                                      static_cast<uint16_t>(hw[1]), static_cast<uint16_t>(hw[2]));
        ++o.descriptorCount;
    }
    if (!sw.empty()) {
        appendCompatibilityDescriptor(o.descriptors, DESCRIPTOR_SOFTWARE, hw.empty() ? 0 : hw[0],
                                      static_cast<uint16_t>(sw[0]), static_cast<uint16_t>(sw[1]));
        ++o.descriptorCount;
    }
    o.maximumBlockSize = static_cast<uint16_t>(maxBlock);
    o.wakeupByte = static_cast<uint8_t>(wakeup);
    o.serialType = static_cast<uint8_t>(r.serialType);
    o.downloads = static_cast<int>(downloads);
    o.line = boxes != 0;
    o.boxes = boxes != 0 ? static_cast<int>(boxes) : 1;
    o.unplugAfter = unplugSet ? static_cast<int>(unplugAfter) : -1;
    o.endEarly = endEarlySet ? static_cast<int>(endEarly) : -1;
    if (endEarlySet && cmd.count("--buffer-size") == 0) {
        // The default 64 KiB window holds the whole sample: with it --end-early would never
        // end anything early.
        o.bufferSize = 0;
    }
    o.repeatWindow = repeatWindow != 0 ? static_cast<int>(repeatWindow) : -1;
    o.wrongId = wrongId != 0 ? static_cast<int>(wrongId) : -1;

    Bytes storage;
    std::vector<Module> modules;
    std::string error;
    ReplayScript script;
    if (!o.replay.empty()) {
        if (!readCapture(o.replay, script, error)) {
            std::fprintf(stderr, "kestrune-boxsim: %s\n", error.c_str());
            return EXIT_USAGE;
        }
    } else if (!readImage(o.image.c_str(), storage, modules, error)) {
        std::fprintf(stderr, "kestrune-boxsim: %s\n", error.empty() ? "bad image" : error.c_str());
        return EXIT_USAGE;
    }

    std::signal(SIGPIPE, SIG_IGN);
    int fd = -1;
    int slave = -1;
    std::string name;
    if (!o.device.empty()) {
        fd = open(o.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "kestrune-boxsim: %s: %s\n", o.device.c_str(),
                         std::strerror(errno));
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
    if (!o.link.empty() && (o.link.size() >= sizeof g_link || name.size() >= sizeof g_linkTarget)) {
        std::fprintf(stderr, "kestrune-boxsim: %s: the path is too long\n", o.link.c_str());
        return EXIT_USAGE;
    }
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(signal, onEndSignal);
    }
    if (!o.link.empty() && !repointLink(o.link.c_str(), name)) {
        std::fprintf(stderr, "kestrune-boxsim: cannot point %s at %s: %s\n", o.link.c_str(),
                     name.c_str(), std::strerror(errno));
        return EXIT_SYSTEM;
    }
    if (!o.link.empty()) {
        std::memcpy(g_linkTarget, name.c_str(), name.size() + 1);
        std::memcpy(g_link, o.link.c_str(), o.link.size() + 1);
    }
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);

    // Non-blocking: writes wait in poll() (see Line::write), wake-up bytes may be dropped.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    NoiseModel noise(o.noise, o.seed);
    PtyLine line(fd, o.baud, noise, name);
    line.keepSlave(slave);
    // A restarted loader's attempts after the first are clean: the fault options hit only
    // the first attempt of each download.
    Options clean = o;
    clean.naks.clear();
    clean.corrupt.clear();
    clean.silent = false;
    clean.endEarly = clean.repeatWindow = clean.wrongId = -1;
    Box box(line, o, modules, noise);
    Box restarted(line, clean, modules, noise);
    int worst = EXIT_EXACT;
    for (int b = 1; b <= o.boxes; ++b) {
        if (b > 1) {
            // Power off: what the last box sent and nobody read is gone, nothing is heard
            // during the gap, and what the server sent meanwhile reached nobody.
            line.forgetUnheard();
            sleepDecimal(o.gap);
            line.drain();
        }
        noise.setRate(o.noise + (b - 1) * o.noiseRise);
        const std::string which =
            o.line ? "box " + std::to_string(b) + " of " + std::to_string(o.boxes) + ": " : "";
        for (int n = 1; n <= o.downloads; ++n) {
            int status = EXIT_EXACT;
            for (int attempt = 1; attempt <= MAX_ATTEMPTS; ++attempt) {
                const uint64_t faultsBefore = noise.faults;
                // Held back until told (a test first looks at the window waiting for the box).
                while (attempt == 1 && !o.hold.empty() && access(o.hold.c_str(), F_OK) != 0) {
                    sleepDecimal(0.02);
                }
                Box& current =
                    attempt == 1 && (faultyBox == 0 || uint32_t(b) == faultyBox) ? box : restarted;
                // On a real line every wait of the box finishes inside the call: run() is the
                // whole download.
                Verdict verdict =
                    o.replay.empty() ? current.download(n).run() : current.replay(script).run();
                noise.stop();
                if (verdict.unplugged) {
                    // The master's close hangs the pty up, and we hold it as our controlling
                    // terminal: its SIGHUP must not end us before the verdict.
                    std::signal(SIGHUP, SIG_IGN);
                    line.unplug();
                    removeLink();
                } else if (verdict.status == EXIT_EXACT && o.reboot > 0) {
                    const Reboot reboot = current.reboot(o.reboot).run();
                    if (reboot.answers > 0) {
                        char text[160];
                        std::snprintf(text, sizeof text,
                                      "flashed twice: a server answered the wake-up %.3f s into "
                                      "the restart (%d %s)",
                                      reboot.firstAnswer, reboot.answers,
                                      reboot.answers == 1 ? "answer" : "answers");
                        // "byte-exact: 3 modules, ..." becomes "flashed twice: ...; 3 modules".
                        const size_t colon = verdict.text.find(": ");
                        verdict = {EXIT_MISMATCH, text + ("; " + verdict.text.substr(colon + 2))};
                    }
                }
                std::string text = verdict.text;
                if (o.noise > 0 || o.noiseRise > 0) {
                    text += "; " + std::to_string(noise.faults - faultsBefore) + " line faults";
                }
                const std::string tries =
                    o.restartAfterFailure ? ", attempt " + std::to_string(attempt) : "";
                std::printf("boxsim %s: %sdownload %d%s: %s\n", name.c_str(), which.c_str(), n,
                            tries.c_str(), text.c_str());
                std::fflush(stdout);
                status = verdict.status;
                if (verdict.unplugged) {
                    return worse(worst, status);
                }
                // Let the server close its end before the next wake-up.
                line.drain();
                // A failed download (not a mismatch: the server sent wrong data) and a loader
                // that restarts: it wakes up again at once.
                if (!o.restartAfterFailure || status != EXIT_INCOMPLETE) {
                    break;
                }
            }
            // A download counts by its last attempt.
            worst = worse(worst, status);
        }
    }
    // The adapter stays connected after the last box: a port with no box on it.
    sleepDecimal(o.stay);
    removeLink();
    return worst;
}
