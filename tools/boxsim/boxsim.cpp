// kestrune-boxsim: plays the set top box on a pseudo-terminal (or a given serial device), so
// that the download server can be run and checked without hardware. It reads the same .dl
// image as the server and checks every block it receives against it, byte for byte.
//
// The box's side: wake-up bytes every 50 ms until the server answers 2; a DownloadInfoRequest;
// the DownloadInfoResponse; DownloadDataRequests (reason 1, then 2 after every window, 5 when
// it has everything) and the DownloadDataBlocks they bring. Every message travels in the
// link's checked frames, both ways. Fault options make the box misbehave on purpose.
//
// Exit status: 0 every download byte-exact; 1 a block carried wrong data or wrong fields;
// 2 a download did not complete (the server stopped, or the box ended early as asked);
// 3 the server broke the link protocol; 64 wrong usage; 70 a system call failed.

#include "kestrune/version.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int EXIT_EXACT = 0;
constexpr int EXIT_MISMATCH = 1;
constexpr int EXIT_INCOMPLETE = 2;
constexpr int EXIT_PROTOCOL = 3;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_SYSTEM = 70;

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// ---- Checksums, written out here rather than taken from the server's link code, so that the
// simulator is an independent judge of the frames.

uint32_t crc32Mpeg2(const uint8_t* p, size_t n) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint32_t>(p[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
        }
    }
    return crc;
}

uint16_t crc16Arc(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
        }
    }
    return crc;
}

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}

// ---- The image, as the box knows it.

struct Module {
    uint16_t moduleId;
    uint32_t size;
    uint8_t version;
    Bytes info;
    const uint8_t* data;
};

bool readImage(const char* path, std::vector<Module>& modules, std::string& error) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size == 0) {
        error = std::string(path) + ": " + (fd < 0 ? std::strerror(errno) : "empty");
        return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* view = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (view == MAP_FAILED) {
        error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    const uint8_t* p = static_cast<const uint8_t*>(view);
    size_t at = 0;
    auto need = [&](size_t n) { return at + n <= size; };
    if (!need(1)) {
        return false;
    }
    at += 1 + p[at];
    for (int block = 0; block < 2; ++block) {
        if (!need(2)) {
            error = "image too short";
            return false;
        }
        at += 2 + (p[at] | p[at + 1] << 8);
    }
    if (!need(2)) {
        error = "image too short";
        return false;
    }
    const uint16_t count = be16(p + at);
    at += 2;
    for (uint16_t i = 0; i < count; ++i) {
        if (!need(8) || !need(8 + p[at + 7])) {
            error = "image truncated in module entry " + std::to_string(i);
            return false;
        }
        Module m{be16(p + at), be32(p + at + 2), p[at + 6],
                 Bytes(p + at + 8, p + at + 8 + p[at + 7]), nullptr};
        at += 8 + m.info.size();
        if (!need(m.size)) {
            error = "image truncated in module data " + std::to_string(i);
            return false;
        }
        m.data = p + at;
        at += m.size;
        modules.push_back(std::move(m));
    }
    return true;
}

// ---- Options.

struct Options {
    const char* image = nullptr;
    const char* device = nullptr;
    const char* link = nullptr;
    uint32_t bufferSize = 65536;
    uint16_t maximumBlockSize = 0;
    bool typeOne = true;
    uint8_t wakeupByte = 0x55;
    uint32_t baud = 0;
    int downloads = 1;
    double timeout = 10.0;
    double wait = 120.0;
    std::map<int, int> naks;    // server frame index -> NAKs
    std::map<int, int> corrupt; // own request index -> damaged CRCs
    bool silent = false;
    // No wake-up byte until this file exists.
    const char* hold = nullptr;
    int endEarly = -1;     // blocks after which to end with reason 5
    int repeatWindow = -1; // window after which to ask for its first block again
    int wrongId = -1;      // data request (1 = first) with a wrong downloadId
    bool verbose = false;
};

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

// ---- The line.

class Line {
public:
    Line(int fd, const Options& options, const std::string& name)
        : fd_(fd), options_(options), name_(name) {}

    const std::string& name() const { return name_; }
    uint64_t bytesOut = 0;
    uint64_t bytesIn = 0;

    // Seconds the line takes for n bytes at the paced rate.
    double lineTime(size_t n) const {
        return options_.baud == 0 ? 0.0 : static_cast<double>(n) * 10.0 / options_.baud;
    }

    bool write(const uint8_t* data, size_t n) {
        // The bytes reach the other end once the line has carried the last of them.
        sleepFor(lineTime(n));
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(fd_, data + done, n - done);
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
    bool writeByte(uint8_t b) { return write(&b, 1); }
    // A wake-up byte: dropped when the line's buffer is full (nobody has listened for a
    // long time), instead of blocking the box.
    void offerByte(uint8_t b) {
        if (::write(fd_, &b, 1) == 1) {
            bytesOut += 1;
        }
    }

    // Reads exactly n bytes unless `timeout` seconds pass without a byte. Returns the count.
    size_t read(uint8_t* buffer, size_t n, double timeout) {
        size_t got = 0;
        Clock::time_point first{};
        while (got < n) {
            pollfd p = {fd_, POLLIN, 0};
            const int r = poll(&p, 1, static_cast<int>(timeout * 1000));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                break;
            }
            const ssize_t k = ::read(fd_, buffer + got, n - got);
            if (k > 0) {
                if (got == 0) {
                    first = Clock::now();
                }
                got += static_cast<size_t>(k);
            } else if (k < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            } else {
                // The other side closed its end: behave like a silent line.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        if (got > 0 && options_.baud != 0) {
            // They arrived all at once on the pseudo-terminal; a real line takes its time.
            const auto due = first + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(lineTime(got)));
            std::this_thread::sleep_until(due);
        }
        bytesIn += got;
        return got;
    }
    // One byte within `timeout` seconds, or -1.
    int readByte(double timeout) {
        uint8_t b = 0;
        return read(&b, 1, timeout) == 1 ? b : -1;
    }
    void drain() {
        uint8_t sink[256];
        pollfd p = {fd_, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && ::read(fd_, sink, sizeof sink) > 0) {
        }
    }

private:
    static void sleepFor(double seconds) {
        if (seconds > 0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        }
    }
    int fd_;
    const Options& options_;
    std::string name_;
};

// ---- One download, as the box plays it.

struct Outcome {
    int status = EXIT_EXACT;
    std::string text;
};

class Box {
public:
    Box(Line& line, const Options& options, const std::vector<Module>& modules)
        : line_(line), options_(options), modules_(modules) {}

    Outcome download(int number, uint32_t previousId);
    uint32_t downloadId() const { return downloadId_; }

private:
    bool fail(int status, const std::string& text) {
        if (outcome_.status == EXIT_EXACT || status < outcome_.status) {
            outcome_.status = status;
            outcome_.text = text;
        }
        return false;
    }
    void note(const std::string& text) {
        if (options_.verbose) {
            std::fprintf(stderr, "boxsim %s: %s\n", line_.name().c_str(), text.c_str());
        }
    }

    bool sendFrame(const Bytes& payload, int requestIndex);
    bool receiveFrame(Bytes& payload);
    Bytes infoRequest() const;
    Bytes dataRequest(uint16_t moduleId, uint16_t blockNumber, uint8_t reason, bool wrongId) const;
    bool checkResponse(const Bytes& m, uint32_t previousId);
    bool checkBlock(const Bytes& m, uint16_t moduleId, uint16_t blockNumber);
    void predictWindow(uint16_t moduleId, uint16_t blockNumber,
                       std::vector<std::pair<uint16_t, uint16_t>>& window) const;

    Line& line_;
    const Options& options_;
    const std::vector<Module>& modules_;
    Outcome outcome_;
    uint32_t downloadId_ = 0;
    uint16_t blockSize_ = 0;
    uint8_t windowSize_ = 0;
    int serverFrames_ = 0; // frames accepted from the server, for --nak
    std::map<int, int> naks_;
    std::map<int, int> corrupt_;
    std::vector<std::vector<bool>> seen_;
    uint64_t blocks_ = 0;
    uint64_t dataBytes_ = 0;
    uint64_t attempts_ = 0; // server frame attempts (each with its own 100 ms pause)
    bool refused_ = false;  // the last request was refused 10 times
};

Bytes Box::infoRequest() const {
    Bytes m = {0x11, 3};
    put16(m, 0x1001);
    put32(m, 0);
    m.push_back(0xFF);
    m.push_back(0);
    put16(m, 0); // messageLength, below
    put32(m, options_.bufferSize);
    put16(m, options_.maximumBlockSize);
    // Two descriptors: a type-2 one and (normally) a type-1 one, 9 bytes each.
    const uint8_t type2[9] = {2, 7, 0, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};
    const uint8_t type1[9] = {1, 7, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    const bool both = options_.typeOne;
    put16(m, static_cast<uint16_t>(both ? 18 : 9));
    put16(m, static_cast<uint16_t>(both ? 2 : 1));
    m.insert(m.end(), type2, type2 + 9);
    if (both) {
        m.insert(m.end(), type1, type1 + 9);
    }
    put16(m, 0); // privateDataLength
    const uint16_t length = static_cast<uint16_t>(m.size() - 12);
    m[10] = static_cast<uint8_t>(length >> 8);
    m[11] = static_cast<uint8_t>(length);
    return m;
}

Bytes Box::dataRequest(uint16_t moduleId, uint16_t blockNumber, uint8_t reason,
                       bool wrongId) const {
    Bytes m = {0x11, 3};
    put16(m, 0x1004);
    put32(m, wrongId ? downloadId_ + 1000 : downloadId_);
    m.push_back(0xFF);
    m.push_back(0);
    put16(m, 5);
    put16(m, moduleId);
    put16(m, blockNumber);
    m.push_back(reason);
    return m;
}

// The box as sender: header, the server's 1, payload, the server's 3 (or 4: again).
bool Box::sendFrame(const Bytes& payload, int requestIndex) {
    uint8_t header[11];
    const uint32_t length = static_cast<uint32_t>(payload.size());
    const uint32_t crc = crc32Mpeg2(payload.data(), payload.size());
    for (int attempt = 0; attempt < 10; ++attempt) {
        Bytes h;
        put32(h, length);
        uint32_t sentCrc = crc;
        auto damage = corrupt_.find(requestIndex);
        if (damage != corrupt_.end() && damage->second > 0) {
            --damage->second;
            sentCrc ^= 0x5A5A5A5Au;
        }
        put32(h, sentCrc);
        h.push_back(0);
        const uint16_t hc = crc16Arc(h.data(), 9);
        put16(h, hc);
        std::memcpy(header, h.data(), 11);
        if (!line_.write(header, 11)) {
            return fail(EXIT_PROTOCOL, "cannot write to the line");
        }
        const int ack1 = line_.readByte(options_.timeout);
        if (ack1 != 1) {
            return fail(EXIT_INCOMPLETE, ack1 < 0 ? "server silent after a request header"
                                                  : "server answered a request header with " +
                                                        std::to_string(ack1) + ", not 1");
        }
        line_.write(payload.data(), payload.size());
        const int ack = line_.readByte(options_.timeout);
        if (ack == 3) {
            return true;
        }
        if (ack != 4) {
            return fail(EXIT_INCOMPLETE,
                        ack < 0 ? "server silent after a request"
                                : "server answered a request with " + std::to_string(ack));
        }
        note("request " + std::to_string(requestIndex) + " refused with a CRC error, again");
    }
    // The server has given up on this frame and goes on without it.
    refused_ = true;
    return fail(EXIT_INCOMPLETE, "request " + std::to_string(requestIndex) + " refused 10 times");
}

// The box as receiver: header, 1, payload, 3 (or 4 when a NAK is due).
bool Box::receiveFrame(Bytes& payload) {
    for (;;) {
        uint8_t header[11];
        const size_t got = line_.read(header, 11, options_.timeout);
        if (got != 11) {
            return fail(EXIT_INCOMPLETE, got == 0 ? "server silent (no frame within the time-out)"
                                                  : "frame header cut short");
        }
        if (crc16Arc(header, 9) != be16(header + 9) || header[8] != 0) {
            return fail(EXIT_PROTOCOL, "frame header with a wrong CRC-16 or reserved byte");
        }
        const uint32_t length = be32(header);
        if (length > 65535) {
            return fail(EXIT_PROTOCOL, "frame of " + std::to_string(length) + " bytes");
        }
        ++attempts_;
        line_.writeByte(1);
        payload.resize(length);
        if (line_.read(payload.data(), length, options_.timeout) != length) {
            return fail(EXIT_PROTOCOL, "frame payload cut short");
        }
        if (crc32Mpeg2(payload.data(), length) != be32(header + 4)) {
            return fail(EXIT_PROTOCOL, "frame payload with a wrong CRC-32");
        }
        auto nak = naks_.find(serverFrames_);
        if (nak != naks_.end() && nak->second > 0) {
            --nak->second;
            note("frame " + std::to_string(serverFrames_) + " refused on purpose");
            line_.writeByte(4);
            continue;
        }
        ++serverFrames_;
        line_.writeByte(3);
        return true;
    }
}

bool Box::checkResponse(const Bytes& m, uint32_t previousId) {
    auto bad = [&](const std::string& what) {
        return fail(EXIT_MISMATCH, "DownloadInfoResponse: " + what);
    };
    if (m.size() < 34 || m[0] != 0x11 || m[1] != 3 || be16(&m[2]) != 0x1002) {
        return bad("not a DownloadInfoResponse");
    }
    if (be16(&m[10]) + 12u != m.size()) {
        return bad("messageLength " + std::to_string(be16(&m[10])) + " for " +
                   std::to_string(m.size()) + " bytes");
    }
    downloadId_ = be32(&m[12]);
    blockSize_ = be16(&m[16]);
    windowSize_ = m[18];
    // One server process counts its ids up (1, 2, ...); a new process starts again at 1.
    if (downloadId_ == 0) {
        return bad("downloadId " + std::to_string(downloadId_) + " after " +
                   std::to_string(previousId));
    }
    if (blockSize_ == 0 || blockSize_ > 65517 || windowSize_ == 0 || m[19] != windowSize_) {
        return bad("blockSize " + std::to_string(blockSize_) + ", windowSize " +
                   std::to_string(windowSize_));
    }
    if (be16(&m[30]) != modules_.size()) {
        return bad("numberOfModules " + std::to_string(be16(&m[30])));
    }
    size_t at = 32;
    for (size_t i = 0; i < modules_.size(); ++i) {
        const Module& mod = modules_[i];
        if (at + 8 > m.size() || be16(&m[at]) != mod.moduleId || be32(&m[at + 2]) != mod.size ||
            m[at + 6] != mod.version || m[at + 7] != mod.info.size() ||
            at + 8 + mod.info.size() > m.size() ||
            !std::equal(mod.info.begin(), mod.info.end(), m.begin() + at + 8)) {
            return bad("module entry " + std::to_string(i) + " differs from the image");
        }
        at += 8 + mod.info.size();
    }
    return true;
}

bool Box::checkBlock(const Bytes& m, uint16_t moduleId, uint16_t blockNumber) {
    const std::string where =
        "block " + std::to_string(blockNumber) + " of module " + std::to_string(moduleId);
    auto bad = [&](const std::string& what) { return fail(EXIT_MISMATCH, where + ": " + what); };
    if (m.size() < 18 || m[0] != 0x11 || m[1] != 3 || be16(&m[2]) != 0x1003) {
        return bad("not a DownloadDataBlock");
    }
    const size_t n = m.size() - 18;
    if (be32(&m[4]) != downloadId_) {
        return bad("downloadId " + std::to_string(be32(&m[4])));
    }
    if (be16(&m[12]) != moduleId || be16(&m[16]) != blockNumber) {
        return bad("got block " + std::to_string(be16(&m[16])) + " of module " +
                   std::to_string(be16(&m[12])));
    }
    const Module& mod = modules_[moduleId];
    if (m[14] != mod.version) {
        return bad("moduleVersion " + std::to_string(m[14]));
    }
    if (be16(&m[10]) != n + 10) {
        return bad("messageLength " + std::to_string(be16(&m[10])) + " for " + std::to_string(n) +
                   " data bytes");
    }
    const uint64_t offset = static_cast<uint64_t>(blockNumber) * blockSize_;
    const uint64_t expected =
        offset >= mod.size ? 0 : std::min<uint64_t>(blockSize_, mod.size - offset);
    if (n != expected) {
        return bad(std::to_string(n) + " data bytes, expected " + std::to_string(expected));
    }
    for (size_t i = 0; i < n; ++i) {
        if (m[18 + i] != mod.data[offset + i]) {
            char text[96];
            std::snprintf(text, sizeof text, "data byte %zu is 0x%02X, expected 0x%02X", i,
                          m[18 + i], mod.data[offset + i]);
            return bad(text);
        }
    }
    if (blockNumber < seen_[moduleId].size()) {
        seen_[moduleId][blockNumber] = true;
    }
    ++blocks_;
    dataBytes_ += n;
    return true;
}

// The blocks a window brings after a request naming (moduleId, blockNumber): the named block
// onwards, on into the next modules, windowSize at most. An empty module reached by moving on
// comes as one empty block; one that the request names is skipped.
void Box::predictWindow(uint16_t moduleId, uint16_t blockNumber,
                        std::vector<std::pair<uint16_t, uint16_t>>& window) const {
    window.clear();
    uint32_t m = moduleId;
    uint32_t b = blockNumber;
    uint64_t offset = static_cast<uint64_t>(b) * blockSize_;
    while (window.size() < windowSize_ && m < modules_.size()) {
        if (offset >= modules_[m].size) {
            ++m;
            b = 0;
            offset = 0;
            if (m >= modules_.size()) {
                break;
            }
        }
        window.emplace_back(static_cast<uint16_t>(m), static_cast<uint16_t>(b));
        offset += std::min<uint64_t>(blockSize_, modules_[m].size - offset);
        b = (b + 1) & 0xFFFF;
    }
}

Outcome Box::download(int number, uint32_t previousId) {
    outcome_ = Outcome{};
    naks_ = options_.naks;
    corrupt_ = options_.corrupt;
    serverFrames_ = 0;
    blocks_ = dataBytes_ = attempts_ = 0;
    line_.bytesIn = line_.bytesOut = 0;
    const std::string tag = "download " + std::to_string(number);

    // Held back until told (a test first looks at the window waiting for the box).
    while (options_.hold != nullptr && access(options_.hold, F_OK) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // Wake-up: a byte every 50 ms until the server answers 2.
    const Clock::time_point waitEnd =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.wait));
    bool answered = false;
    while (!answered && Clock::now() < waitEnd) {
        line_.offerByte(options_.wakeupByte);
        const Clock::time_point next = Clock::now() + std::chrono::milliseconds(50);
        while (!answered && Clock::now() < next) {
            const double left = std::chrono::duration<double>(next - Clock::now()).count();
            const int b = line_.readByte(left > 0 ? left : 0);
            answered = b == 2;
        }
    }
    if (!answered) {
        outcome_ = {EXIT_INCOMPLETE, "no server answered the wake-up"};
        return outcome_;
    }
    const Clock::time_point started = Clock::now();
    line_.bytesIn = line_.bytesOut = 0;
    note(tag + ": wake-up answered");

    if (options_.silent) {
        // Stay on the line and say nothing, until the server has given up.
        Bytes sink(4096);
        while (line_.read(sink.data(), sink.size(), options_.timeout) != 0) {
        }
        outcome_ = {EXIT_INCOMPLETE, "silent after the wake-up, as asked"};
        return outcome_;
    }

    Bytes frame;
    refused_ = false;
    if (!sendFrame(infoRequest(), 0)) {
        if (!refused_) {
            return outcome_;
        }
        // The server answers even a request it never got (with what it parsed before).
        outcome_ = Outcome{};
        note(tag + ": DownloadInfoRequest refused 10 times; waiting for the response anyway");
    }
    if (!receiveFrame(frame) || !checkResponse(frame, previousId)) {
        return outcome_;
    }
    note(tag + ": downloadId " + std::to_string(downloadId_) + ", blockSize " +
         std::to_string(blockSize_) + ", windowSize " + std::to_string(windowSize_));
    seen_.assign(modules_.size(), {});
    uint64_t total = 0;
    for (size_t i = 0; i < modules_.size(); ++i) {
        seen_[i].assign((modules_[i].size + blockSize_ - 1) / blockSize_, false);
        total += modules_[i].size;
    }

    auto complete = [&] {
        for (const auto& s : seen_) {
            for (bool b : s) {
                if (!b) {
                    return false;
                }
            }
        }
        return true;
    };

    uint16_t askModule = 0;
    uint16_t askBlock = 0;
    uint8_t reason = 1;
    int requestIndex = 1;
    int windows = 0;
    bool endedEarly = false;
    std::vector<std::pair<uint16_t, uint16_t>> window;
    for (;;) {
        const bool wrong = requestIndex == options_.wrongId;
        if (!sendFrame(dataRequest(askModule, askBlock, reason, wrong), requestIndex)) {
            return outcome_;
        }
        ++requestIndex;
        if (wrong) {
            // The server must refuse it: nothing more may come.
            Bytes extra;
            if (receiveFrame(extra)) {
                outcome_ = {EXIT_MISMATCH, "a frame came after a request with a wrong downloadId"};
            } else {
                outcome_ = {EXIT_INCOMPLETE,
                            "request with a wrong downloadId refused, as it must be"};
            }
            return outcome_;
        }
        if (reason == 5) {
            break;
        }
        predictWindow(askModule, askBlock, window);
        for (const auto& [m, b] : window) {
            if (!receiveFrame(frame) || !checkBlock(frame, m, b)) {
                return outcome_;
            }
        }
        ++windows;
        // What to ask for next: the block after the last one received.
        if (!window.empty()) {
            askModule = window.back().first;
            askBlock = static_cast<uint16_t>(window.back().second + 1);
            if (static_cast<uint64_t>(askBlock) * blockSize_ >= modules_[askModule].size &&
                askModule + 1u < modules_.size()) {
                askModule = static_cast<uint16_t>(askModule + 1);
                askBlock = 0;
            }
        }
        if (windows == options_.repeatWindow && !window.empty()) {
            askModule = window.front().first;
            askBlock = window.front().second;
            note(tag + ": asking for block " + std::to_string(askBlock) + " of module " +
                 std::to_string(askModule) + " again");
        }
        reason = 2;
        if (options_.endEarly >= 0 && blocks_ >= static_cast<uint64_t>(options_.endEarly)) {
            reason = 5;
            endedEarly = true;
        } else if (window.empty() || (complete() && windows != options_.repeatWindow)) {
            reason = 5;
        }
    }

    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    // What the protocol itself costs at the paced rate: every byte on the line both ways,
    // the server's 100 ms before each frame's payload and before each block.
    const double rate = options_.baud != 0 ? options_.baud / 10.0 : 5760.0;
    const double minimum = static_cast<double>(line_.bytesIn + line_.bytesOut) / rate +
                           0.1 * attempts_ + 0.1 * blocks_;
    char stats[256];
    std::snprintf(stats, sizeof stats,
                  "%llu blocks, %llu data bytes, downloadId %u, blockSize %u, windowSize %u; "
                  "%.3f s (protocol minimum %.3f s)",
                  static_cast<unsigned long long>(blocks_),
                  static_cast<unsigned long long>(dataBytes_), downloadId_, blockSize_, windowSize_,
                  elapsed, minimum);
    if (endedEarly) {
        outcome_ = {EXIT_INCOMPLETE, std::string("ended early, as asked: ") + stats};
    } else if (!complete()) {
        outcome_ = {EXIT_INCOMPLETE, std::string("server sent no more blocks: ") + stats};
    } else {
        outcome_ = {EXIT_EXACT, "byte-exact: " + std::to_string(modules_.size()) + " modules, " +
                                    std::to_string(total) + " bytes; " + stats};
    }
    return outcome_;
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
        } else if (a == "--version") {
            std::printf("kestrune-boxsim %s\n", KESTRUNE_VERSION);
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

    std::vector<Module> modules;
    std::string error;
    if (!readImage(o.image, modules, error)) {
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
    Line line(fd, o, name);
    Box box(line, o, modules);
    int worst = EXIT_EXACT;
    uint32_t previousId = 0;
    for (int n = 1; n <= o.downloads; ++n) {
        const Outcome outcome = box.download(n, previousId);
        previousId = box.downloadId();
        std::printf("boxsim %s: download %d: %s\n", name.c_str(), n, outcome.text.c_str());
        std::fflush(stdout);
        if (outcome.status != EXIT_EXACT && (worst == EXIT_EXACT || outcome.status < worst)) {
            worst = outcome.status;
        }
        // Let the server close its end before the next download's wake-up.
        line.drain();
    }
    (void)slave;
    return worst;
}
