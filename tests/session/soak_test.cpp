// The session on a noisy line: thousands of whole downloads in virtual time, the real session
// code (runSession) on one side of a simulated serial line, a box of its own on the other, and
// seeded faults on the line in both directions: flipped bits, lost and doubled bytes, inserted
// junk, silences. The box is written apart from the server's code (its own CRCs, its own
// reading and writing of messages) so that it judges the server rather than agrees with it.
//
// For every session: it ends, within a bounded virtual time; it is called a success only when
// the box holds every module byte-exact and has sent downloadReason 5; every block the server
// writes carries the image's own bytes for the block it names. The completion rate per noise
// level is printed. A failing session prints its seed; KESTRUNE_SOAK_SEED=N replays that one
// session alone with a trace of the line. KESTRUNE_SOAK_SESSIONS=N sets the number of sessions,
// KESTRUNE_SOAK_FIRST=N the first seed.

#include "dsmcc/codec.h"
#include "session/session.h"
#include "tests/link/fake_port.h"
#include "tools/boxsim/box_messages.h"
#include "tools/boxsim/virtual_line.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrune::test {
namespace {

using Bytes = std::vector<uint8_t>;

// The box's own arithmetic (tools/boxsim's library), independent of link/ and dsmcc/.

using boxsim::crc32Mpeg2;
using boxsim::frameHeader;
using boxsim::NEVER;
using boxsim::VirtualWire;
constexpr uint64_t MS = boxsim::VIRTUAL_MS;

uint16_t be16(const uint8_t* p) {
    return readU16BE(p);
}
uint32_t be32(const uint8_t* p) {
    return readU32BE(p);
}

// A header that announces a payload the box could take: its CRC-16 and reserved byte right.
bool plausibleHeader(const uint8_t* h) {
    return boxsim::headerSound(h) && be32(h) >= 12;
}

// ---------------------------------------------------------------------------------------------
// Noise levels; the line itself is the box library's virtual wire.

struct NoiseLevel {
    const char* name;
    double faultsPerByte;
};
constexpr NoiseLevel LEVELS[] = {
    {"clean", 0.0}, {"light", 1e-4}, {"moderate", 5e-4}, {"heavy", 2e-3}, {"very heavy", 1e-2},
};
constexpr uint32_t LEVEL_COUNT = sizeof LEVELS / sizeof LEVELS[0];

// ---------------------------------------------------------------------------------------------
// The image, shared by every session: three modules whose sizes fit no block size evenly.

struct Image {
    std::vector<Bytes> modules;
    Image() {
        const uint32_t sizes[] = {700, 1234, 321};
        for (uint32_t m = 0; m < 3; ++m) {
            Bytes data(sizes[m]);
            for (uint32_t j = 0; j < sizes[m]; ++j) {
                data[j] = static_cast<uint8_t>(((j + 1) * 2654435761u + m * 97) >> 24);
            }
            modules.push_back(std::move(data));
        }
    }
    uint64_t totalBytes() const {
        uint64_t n = 0;
        for (const Bytes& m : modules) {
            n += m.size();
        }
        return n;
    }
};

const Image& image() {
    static const Image i;
    return i;
}

// ---------------------------------------------------------------------------------------------
// The box: an event-driven state machine on the far end of the line. It wakes the server,
// asks with a DownloadInfoRequest, pulls the modules window by window with reason 1, then 2,
// and ends with 5. It checks every header's CRC-16 and every payload's CRC-32, answers 1, 3 or
// 4, drops what it cannot use until the line has been quiet, and asks again when the server
// has been silent for a while. It gives up after its own retries or its time budget.

constexpr uint64_t WAKE_EVERY_US = 50 * MS;
constexpr uint64_t WAKE_BUDGET_US = 30000 * MS;
constexpr uint64_t ACK1_WAIT_US = 1000 * MS;
constexpr uint64_t ACK3_WAIT_US = 3000 * MS;
constexpr uint64_t HEADER_GAP_US = 200 * MS;
constexpr uint64_t PAYLOAD_FIRST_US = 3500 * MS; // covers a lost 1: the server's 3000 ms + 100 ms
constexpr uint64_t PAYLOAD_GAP_US = 300 * MS;
constexpr uint64_t QUIET_US = 250 * MS;
constexpr uint64_t NAK_QUIET_US = 30 * MS;
constexpr uint64_t IDLE_US = 7000 * MS; // longer than one full attempt of the server's sendFrame
constexpr uint64_t BOX_BUDGET_US = 600000 * MS;
constexpr int BOX_ATTEMPTS = 10;
constexpr int BOX_ASKS = 6;

struct BoxSetup {
    uint8_t wakeByte;
    uint32_t bufferSize;
    uint16_t maximumBlockSize;
    uint32_t endEarlyAfter; // blocks held; 0: never (an honest box)
};

class SoakBox {
public:
    enum class Phase { Waking, Handshake, Data, Done, Dead };
    enum class Rx { Idle, Header, Payload, Drain };
    enum class Tx { None, WaitHeaderAck, WaitPayloadAck };
    enum class Sending { Info, Request, Final };

    SoakBox(const BoxSetup& setup, VirtualWire& out, bool trace)
        : setup_(setup), out_(out), trace_(trace) {}

    Phase phase = Phase::Waking;
    bool sentReason5 = false;
    bool endedEarly = false; // sent reason 5 without every module
    std::vector<std::string> violations;
    uint64_t timerAt = 0; // the first wake-up byte goes out at once

    bool holdsImage() const { return received_ == image().modules; }

    void onByte(uint64_t t, uint8_t b) {
        if (phase == Phase::Done || phase == Phase::Dead || outOfTime(t)) {
            return;
        }
        if (phase == Phase::Waking) {
            if (b == 2) {
                say(t, "wake-up answered");
                phase = Phase::Handshake;
                startSending(t, infoRequest(), Sending::Info);
            }
            return;
        }
        if (tx_ == Tx::WaitHeaderAck) {
            if (b == 1) {
                out_.send(t, sending_.data(), sending_.size());
                tx_ = Tx::WaitPayloadAck;
                timerAt = t + ACK3_WAIT_US;
            }
            return;
        }
        if (tx_ == Tx::WaitPayloadAck) {
            if (b == 3) {
                sent(t);
            } else if (b == 4) {
                retry(t);
            }
            return;
        }
        lastByteUs_ = t;
        switch (rx_) {
        case Rx::Idle:
        case Rx::Header:
            header_[headerLength_++] = b;
            rx_ = Rx::Header;
            timerAt = t + HEADER_GAP_US;
            if (headerLength_ == 11) {
                headerLength_ = 0;
                if (plausibleHeader(header_)) {
                    wanted_ = be32(header_);
                    payload_.clear();
                    write(t, 1);
                    rx_ = Rx::Payload;
                    timerAt = t + PAYLOAD_FIRST_US;
                } else {
                    say(t, "header damaged: draining");
                    drain(t, false);
                }
            }
            break;
        case Rx::Payload:
            payload_.push_back(b);
            timerAt = t + PAYLOAD_GAP_US;
            if (payload_.size() == wanted_) {
                if (crc32Mpeg2(payload_.data(), payload_.size()) == be32(header_ + 4)) {
                    write(t, 3);
                    rx_ = Rx::Idle;
                    timerAt = t + IDLE_US;
                    accept(t);
                } else {
                    say(t, "payload damaged");
                    drain(t, true);
                }
            }
            break;
        case Rx::Drain:
            timerAt = t + drainQuiet_;
            break;
        }
    }

    void onTimer(uint64_t t) {
        timerAt = NEVER;
        if (phase == Phase::Done || phase == Phase::Dead || outOfTime(t)) {
            return;
        }
        if (phase == Phase::Waking) {
            if (t >= WAKE_BUDGET_US) {
                die(t, "no answer to the wake-up bytes");
                return;
            }
            write(t, setup_.wakeByte);
            timerAt = t + WAKE_EVERY_US;
            return;
        }
        if (tx_ != Tx::None) {
            retry(t);
            return;
        }
        switch (rx_) {
        case Rx::Header:
            rx_ = Rx::Idle;
            headerLength_ = 0;
            timerAt = lastByteUs_ + IDLE_US;
            break;
        case Rx::Payload:
            say(t, "payload cut short");
            write(t, 4);
            rx_ = Rx::Idle;
            timerAt = t + IDLE_US;
            break;
        case Rx::Drain:
            if (nakAfterDrain_) {
                write(t, 4);
            }
            rx_ = Rx::Idle;
            timerAt = t + IDLE_US;
            break;
        case Rx::Idle:
            if (phase == Phase::Handshake) {
                die(t, "no DownloadInfoResponse");
            } else if (++asks_ > BOX_ASKS) {
                die(t, "the server stays silent");
            } else {
                say(t, "silence: asking again");
                askForNext(t);
            }
            break;
        }
    }

private:
    bool outOfTime(uint64_t t) {
        if (t < BOX_BUDGET_US) {
            return false;
        }
        die(t, "out of time");
        return true;
    }

    void die(uint64_t t, const char* why) {
        say(t, why);
        phase = Phase::Dead;
        timerAt = NEVER;
    }

    void say(uint64_t t, const char* what) const {
        if (trace_) {
            std::printf("%10.3f ms  box: %s\n", t / 1000.0, what);
        }
    }

    void write(uint64_t t, uint8_t b) { out_.send(t, &b, 1); }

    void drain(uint64_t t, bool nakAfter) {
        rx_ = Rx::Drain;
        nakAfterDrain_ = nakAfter;
        drainQuiet_ = nakAfter ? NAK_QUIET_US : QUIET_US;
        timerAt = t + drainQuiet_;
    }

    Bytes infoRequest() const {
        return boxsim::infoRequest(setup_.bufferSize, setup_.maximumBlockSize);
    }

    Bytes dataRequest(uint16_t module, uint16_t block, uint8_t reason) const {
        return boxsim::dataRequest(downloadId_, module, block, reason);
    }

    void startSending(uint64_t t, Bytes message, Sending kind) {
        sending_ = std::move(message);
        kind_ = kind;
        attempts_ = 0;
        rx_ = Rx::Idle;
        headerLength_ = 0;
        sendAttempt(t);
    }

    void sendAttempt(uint64_t t) {
        ++attempts_;
        const Bytes header = frameHeader(sending_);
        out_.send(t, header.data(), header.size());
        tx_ = Tx::WaitHeaderAck;
        timerAt = t + ACK1_WAIT_US;
    }

    void retry(uint64_t t) {
        if (attempts_ < BOX_ATTEMPTS) {
            say(t, "request not accepted: sending it again");
            sendAttempt(t);
            return;
        }
        tx_ = Tx::None;
        if (kind_ == Sending::Final) {
            phase = Phase::Done;
            timerAt = NEVER;
            say(t, "reason 5 never acknowledged; done all the same");
        } else {
            die(t, "request refused ten times");
        }
    }

    void sent(uint64_t t) {
        tx_ = Tx::None;
        rx_ = Rx::Idle;
        headerLength_ = 0;
        lastByteUs_ = t;
        timerAt = t + IDLE_US;
        if (kind_ == Sending::Final) {
            phase = Phase::Done;
            timerAt = NEVER;
            say(t, "done");
        }
    }

    void askForNext(uint64_t t) {
        windowReceived_ = 0;
        startSending(t, dataRequest(want_.module, static_cast<uint16_t>(want_.block), 2),
                     Sending::Request);
    }

    void finish(uint64_t t) {
        sentReason5 = true;
        startSending(t, dataRequest(want_.module, static_cast<uint16_t>(want_.block), 5),
                     Sending::Final);
    }

    // A payload with a good CRC-32.
    void accept(uint64_t t) {
        const Bytes& p = payload_;
        if (p.size() < 12 || p[0] != 0x11 || p[1] != 3) {
            return violation("a frame with a good CRC that is no DSM-CC message");
        }
        const uint16_t messageId = be16(&p[2]);
        if (phase == Phase::Handshake && messageId == 0x1002) {
            takeResponse(t);
        } else if (phase == Phase::Data && messageId == 0x1003) {
            takeBlock(t);
        }
    }

    void takeResponse(uint64_t t) {
        const Bytes& p = payload_;
        const std::vector<Bytes>& modules = image().modules;
        if (p.size() < 34 || be16(&p[30]) != modules.size() || be32(&p[12]) == 0 ||
            be16(&p[16]) == 0 || p[18] == 0) {
            return violation("a DownloadInfoResponse that does not fit the image");
        }
        downloadId_ = be32(&p[12]);
        blockSize_ = be16(&p[16]);
        windowSize_ = p[18];
        size_t at = 32;
        received_.clear();
        for (const Bytes& module : modules) {
            if (at + 8 > p.size() || be32(&p[at + 2]) != module.size()) {
                return violation("a module entry that does not fit the image");
            }
            received_.push_back(Bytes(module.size(), 0));
            at += 8 + p[at + 7];
        }
        say(t, "response taken: asking for the first window");
        phase = Phase::Data;
        startSending(t, dataRequest(0, 0, 1), Sending::Request);
    }

    void takeBlock(uint64_t t) {
        const Bytes& p = payload_;
        if (p.size() < 18 || be32(&p[4]) != downloadId_ || be16(&p[10]) != p.size() - 8) {
            return violation("a DownloadDataBlock with a wrong downloadId or messageLength");
        }
        ++windowReceived_;
        const uint16_t module = be16(&p[12]);
        const uint16_t number = be16(&p[16]);
        if (want_.module < received_.size() && module == want_.module &&
            number == static_cast<uint16_t>(want_.block)) {
            const uint64_t offset = static_cast<uint64_t>(want_.block) * blockSize_;
            const uint64_t size = received_[module].size();
            const uint64_t expected = std::min<uint64_t>(blockSize_, size - offset);
            if (p.size() - 18 != expected) {
                return violation("a block of the wrong length");
            }
            std::copy(p.begin() + 18, p.end(),
                      received_[module].begin() + static_cast<std::ptrdiff_t>(offset));
            ++held_;
            asks_ = 0;
            ++want_.block;
            if (offset + expected >= size) {
                ++want_.module;
                want_.block = 0;
            }
        }
        if (want_.module >= received_.size()) {
            say(t, "every module held: reason 5");
            finish(t);
        } else if (setup_.endEarlyAfter != 0 && held_ >= setup_.endEarlyAfter &&
                   windowReceived_ >= windowSize_) {
            say(t, "ending early with reason 5");
            endedEarly = true;
            finish(t);
        } else if (windowReceived_ >= windowSize_) {
            askForNext(t);
        }
    }

    void violation(const char* what) { violations.emplace_back(what); }

    BoxSetup setup_;
    VirtualWire& out_;
    bool trace_;
    Rx rx_ = Rx::Idle;
    Tx tx_ = Tx::None;
    Sending kind_ = Sending::Info;
    Bytes sending_;
    int attempts_ = 0;
    uint8_t header_[11] = {};
    uint32_t headerLength_ = 0;
    uint32_t wanted_ = 0;
    Bytes payload_;
    bool nakAfterDrain_ = false;
    uint64_t drainQuiet_ = QUIET_US;
    uint64_t lastByteUs_ = 0;
    uint32_t downloadId_ = 0;
    uint32_t blockSize_ = 0;
    uint32_t windowSize_ = 1;
    std::vector<Bytes> received_;
    struct {
        uint16_t module = 0;
        uint32_t block = 0;
    } want_;
    uint32_t windowReceived_ = 0;
    uint32_t held_ = 0;
    int asks_ = 0;
};

// ---------------------------------------------------------------------------------------------
// The server's end of the line, with the clock. Every read runs the box's events in time order
// up to the moment the read returns; every write of the server is checked against the image
// before the line may spoil it.

constexpr uint64_t MAX_EVENTS = 2000000; // far beyond any session; more means it never ends

class SoakPort final : public FakePort {
public:
    SoakPort(VirtualWire& toBox, VirtualWire& toServer, SoakBox& box, bool trace)
        : toBox_(toBox), toServer_(toServer), box_(box), trace_(trace) {}

    uint64_t nowUs = 0;
    std::vector<std::string> violations;
    bool runaway = false;

    void advanceTo(uint64_t us) {
        runBoxUntil(us);
        nowUs = std::max(nowUs, us);
    }

    bool purge() override {
        while (!toServer_.queue.empty() && toServer_.queue.front().atUs <= nowUs) {
            toServer_.queue.pop_front();
        }
        return true;
    }
    int writeByte(uint8_t value) override {
        tick();
        if (trace_) {
            std::printf("%10.3f ms  server: byte %u\n", nowUs / 1000.0, value);
        }
        toBox_.send(nowUs, &value, 1);
        return LINK_OK;
    }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        tick();
        check(data, count);
        toBox_.send(nowUs, data, count);
        return LINK_OK;
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        tick();
        const uint64_t deadline = nowUs + timeoutMs * MS;
        uint32_t got = 0;
        while (got < *count && !runaway) {
            const uint64_t serverByte =
                toServer_.queue.empty() ? NEVER : toServer_.queue.front().atUs;
            const uint64_t boxEvent = nextBoxEvent();
            if (boxEvent < serverByte && boxEvent <= deadline) {
                runBoxEvent();
            } else if (serverByte <= deadline) {
                nowUs = std::max(nowUs, serverByte);
                buffer[got++] = toServer_.queue.front().value;
                toServer_.queue.pop_front();
            } else {
                break;
            }
        }
        if (got < *count) {
            nowUs = deadline;
        }
        *count = got;
        return got != 0 ? LINK_OK : LINK_ERR_IO;
    }

private:
    void tick() {
        if (++events_ > MAX_EVENTS && !runaway) {
            runaway = true;
            violations.emplace_back("the session did not end");
        }
    }

    uint64_t nextBoxEvent() const {
        const uint64_t byte = toBox_.queue.empty() ? NEVER : toBox_.queue.front().atUs;
        return std::min(byte, box_.timerAt);
    }

    void runBoxEvent() {
        tick();
        const uint64_t byte = toBox_.queue.empty() ? NEVER : toBox_.queue.front().atUs;
        if (byte <= box_.timerAt) {
            const uint8_t value = toBox_.queue.front().value;
            toBox_.queue.pop_front();
            box_.onByte(byte, value);
        } else {
            box_.onTimer(box_.timerAt);
        }
    }

    void runBoxUntil(uint64_t us) {
        while (nextBoxEvent() <= us && !runaway) {
            runBoxEvent();
        }
    }

    // The server writes a frame as its 11 header bytes, then the payload.
    void check(const uint8_t* data, uint32_t count) {
        if (count == 11) {
            header_.assign(data, data + count);
            return;
        }
        if (trace_) {
            std::printf("%10.3f ms  server: payload of %u bytes, message 0x%04X\n", nowUs / 1000.0,
                        count, count >= 4 ? be16(data + 2) : 0);
        }
        if (header_.size() != 11 || be32(&header_[0]) != count ||
            be32(&header_[4]) != crc32Mpeg2(data, count) || !plausibleHeader(header_.data())) {
            return fault("a payload whose header does not describe it");
        }
        header_.clear();
        if (count < 12 || data[0] != 0x11 || data[1] != 3) {
            return fault("a payload that is no DSM-CC message");
        }
        const std::vector<Bytes>& modules = image().modules;
        const uint16_t messageId = be16(data + 2);
        if (messageId == 0x1002) {
            if (count < 34) {
                return fault("a response shorter than its fields");
            }
            downloadId_ = be32(data + 12);
            blockSize_ = be16(data + 16);
            if (be16(data + 30) != modules.size()) {
                return fault("a response with the wrong number of modules");
            }
            return;
        }
        if (messageId != 0x1003 || count < 18) {
            return fault("a message other than a response or a block");
        }
        const uint16_t module = be16(data + 12);
        const uint64_t offset = static_cast<uint64_t>(be16(data + 16)) * blockSize_;
        const uint32_t n = count - 18;
        if (module >= modules.size() || offset > modules[module].size()) {
            return fault("a block outside the image");
        }
        const Bytes& bytes = modules[module];
        if (n != std::min<uint64_t>(blockSize_, bytes.size() - offset) ||
            std::memcmp(data + 18, bytes.data() + offset, n) != 0) {
            return fault("a block whose bytes are not the image's for the block it names");
        }
        if (be32(data + 4) != downloadId_ || be16(data + 10) != n + 10) {
            return fault("a block with a wrong downloadId or messageLength");
        }
    }

    void fault(const char* what) { violations.emplace_back(what); }

    VirtualWire& toBox_;
    VirtualWire& toServer_;
    SoakBox& box_;
    bool trace_;
    uint64_t events_ = 0;
    Bytes header_;
    uint32_t downloadId_ = 0;
    uint32_t blockSize_ = 0;
};

class ClockPauser final : public Pauser {
public:
    explicit ClockPauser(SoakPort& port) : port_(port) {}
    void pause(uint32_t ms) override { port_.advanceTo(port_.nowUs + ms * MS); }

private:
    SoakPort& port_;
};

class Go final : public StartSignal {
public:
    void wait() override {}
};

// ---------------------------------------------------------------------------------------------
// One session.

// A session that never ends within this much virtual time counts as hung. The box falls silent
// after its budget at the latest; the server's own time-outs then end the session: at most a
// window of blocks that find no answer (61.1 s each) and a request that never comes.
constexpr uint64_t SESSION_BOUND_US = 1800000 * MS;

struct SessionReport {
    uint32_t level = 0;
    int result = 0;
    bool succeeded = false;
    bool boxComplete = false; // holds every module byte-exact and sent reason 5
    bool earlyEnder = false;  // the box sent reason 5 without its whole image
    uint64_t virtualUs = 0;
    uint32_t faults = 0;
    std::vector<std::string> violations;
};

SessionReport runSoakSession(uint64_t seed, bool trace) {
    SessionReport report;
    report.level = static_cast<uint32_t>(seed % LEVEL_COUNT);
    boxsim::SplitMix setupRandom{seed * 0x2545F4914F6CDD1Dull + 1};

    BoxSetup setup{};
    setup.wakeByte = static_cast<uint8_t>(1 + setupRandom.below(255));
    const uint16_t blockSizes[] = {64, 100, 128, 256};
    setup.maximumBlockSize = blockSizes[setupRandom.below(4)];
    const uint32_t window = 1 + setupRandom.below(4);
    // Now and then bufferSize 0: one block per window.
    setup.bufferSize = setupRandom.below(8) == 0 ? 0 : setup.maximumBlockSize * window;
    if (setupRandom.below(10) == 0) {
        setup.endEarlyAfter = 1 + setupRandom.below(9); // fewer than the image's 10 to 37 blocks
    }

    // One noise model for both directions, as on one cable.
    boxsim::NoiseModel noise(LEVELS[report.level].faultsPerByte, seed ^ 0xA0761D6478BD642Full);
    VirtualWire toBox("to box", noise);
    VirtualWire toServer("to server", noise);
    toBox.trace = toServer.trace = trace;
    SoakBox box(setup, toServer, trace);
    SoakPort port(toBox, toServer, box, trace);
    ClockPauser pauser(port);
    QuietReporter reporter;
    Go go;
    auto ctx = std::make_unique<SessionContext>(port, pauser, reporter);
    DownloadInfoResponse& response = ctx->response;
    response.numberOfModules = static_cast<uint16_t>(image().modules.size());
    for (size_t m = 0; m < image().modules.size(); ++m) {
        ModuleEntry& row = response.modules[m];
        row.moduleId = static_cast<uint16_t>(0x10 + m);
        row.moduleSize = static_cast<uint32_t>(image().modules[m].size());
        row.moduleVersion = static_cast<uint8_t>(m + 1);
        row.moduleData = image().modules[m].data();
    }
    initResponseHeader(response);
    ctx->link.imageSize = static_cast<uint32_t>(image().totalBytes() + 64);

    report.result = runSession(*ctx, go);
    report.succeeded = ctx->lastSucceeded;
    report.virtualUs = port.nowUs;
    report.faults = toBox.faults() + toServer.faults();
    report.boxComplete = box.sentReason5 && box.holdsImage();
    report.earlyEnder = box.endedEarly;

    auto& v = report.violations;
    v.insert(v.end(), port.violations.begin(), port.violations.end());
    v.insert(v.end(), box.violations.begin(), box.violations.end());
    if (report.virtualUs > SESSION_BOUND_US) {
        v.emplace_back("the session outlasted its bound");
    }
    if (report.succeeded && !report.boxComplete) {
        v.emplace_back("success reported for a box without its whole image and reason 5");
    }
    if (report.succeeded &&
        (ctx->lastResult != 0 || ctx->lastDeliveredBytes != ctx->lastModuleBytes)) {
        v.emplace_back("success reported without result 0 and every byte delivered");
    }
    if (ctx->lastDeliveredBytes > ctx->lastModuleBytes ||
        ctx->lastModuleBytes != image().totalBytes()) {
        v.emplace_back("delivered bytes beyond the image's");
    }
    if (trace) {
        std::printf("seed %llu (%s): result %d, %s; box %s; %u faults; %.3f s virtual\n",
                    static_cast<unsigned long long>(seed), LEVELS[report.level].name, report.result,
                    report.succeeded ? "success" : "failure",
                    report.boxComplete ? "complete" : "incomplete", report.faults,
                    report.virtualUs / 1e6);
    }
    return report;
}

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// The same count in both builds: the optimised Windows build runs it in about two seconds
// under Wine and must print the same table.
constexpr uint64_t DEFAULT_SESSIONS = 10000;

TEST(Soak, NoisyLineNeverFakesASuccess) {
    if (std::getenv("KESTRUNE_SOAK_SEED") != nullptr) {
        const uint64_t seed = fromEnvironment("KESTRUNE_SOAK_SEED", 0);
        const SessionReport report = runSoakSession(seed, true);
        for (const std::string& what : report.violations) {
            ADD_FAILURE() << "seed " << seed << ": " << what;
        }
        return;
    }

    const uint64_t first = fromEnvironment("KESTRUNE_SOAK_FIRST", 0);
    const uint64_t sessions = fromEnvironment("KESTRUNE_SOAK_SESSIONS", DEFAULT_SESSIONS);
    struct Tally {
        uint64_t sessions = 0, succeeded = 0, boxComplete = 0, missed = 0, early = 0,
                 earlyRefused = 0, faults = 0, maxUs = 0, missedSeed = 0;
        std::map<int, uint64_t> results;
    };
    Tally tally[LEVEL_COUNT];
    int failures = 0;
    const auto started = std::chrono::steady_clock::now();
    for (uint64_t seed = first; seed < first + sessions; ++seed) {
        const SessionReport r = runSoakSession(seed, false);
        Tally& t = tally[r.level];
        ++t.sessions;
        t.succeeded += r.succeeded;
        t.boxComplete += r.boxComplete;
        if (r.boxComplete && !r.succeeded && t.missed++ == 0) {
            t.missedSeed = seed;
        }
        t.early += r.earlyEnder;
        t.earlyRefused += r.earlyEnder && !r.succeeded;
        t.faults += r.faults;
        t.maxUs = std::max(t.maxUs, r.virtualUs);
        ++t.results[r.result];
        for (const std::string& what : r.violations) {
            if (++failures <= 20) {
                ADD_FAILURE() << "seed " << seed << " (" << LEVELS[r.level].name << "): " << what
                              << "; replay it alone with KESTRUNE_SOAK_SEED=" << seed;
            }
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("soak: %llu sessions from seed %llu in %.1f s\n",
                static_cast<unsigned long long>(sessions), static_cast<unsigned long long>(first),
                seconds);
    // complete: sessions reported as a success; of honest boxes: the same among boxes that did
    // not end early on purpose; box only: the box had everything and sent 5, yet the server
    // reported a failure (a seed to replay); early: boxes that ended early / of them refused.
    std::printf("%-10s %8s %8s %9s %10s %14s %11s %8s %7s  %s\n", "noise", "faults/B", "sessions",
                "complete", "of honest", "box only", "early", "faults", "max s", "results");
    for (uint32_t l = 0; l < LEVEL_COUNT; ++l) {
        const Tally& t = tally[l];
        if (t.sessions == 0) {
            continue;
        }
        std::string results;
        for (const auto& [code, count] : t.results) {
            results += std::to_string(code) + ":" + std::to_string(count) + " ";
        }
        std::string missed = std::to_string(t.missed);
        if (t.missed != 0) {
            missed += " (#" + std::to_string(t.missedSeed) + ")";
        }
        const std::string early = std::to_string(t.early) + "/" + std::to_string(t.earlyRefused);
        const double honest = static_cast<double>(t.sessions - t.early);
        std::printf("%-10s %8.0e %8llu %8.1f%% %9.1f%% %14s %11s %8llu %7.1f  %s\n", LEVELS[l].name,
                    LEVELS[l].faultsPerByte, static_cast<unsigned long long>(t.sessions),
                    100.0 * static_cast<double>(t.succeeded) / static_cast<double>(t.sessions),
                    honest > 0 ? 100.0 * static_cast<double>(t.succeeded) / honest : 0.0,
                    missed.c_str(), early.c_str(), static_cast<unsigned long long>(t.faults),
                    t.maxUs / 1e6, results.c_str());
    }
    EXPECT_EQ(failures, 0);
    // The clean line is the baseline: every honest box there is served whole, and every box
    // that ends early is told it failed.
    EXPECT_EQ(tally[0].succeeded + tally[0].early, tally[0].sessions);
    EXPECT_EQ(tally[0].earlyRefused, tally[0].early);
}

} // namespace
} // namespace kestrune::test
