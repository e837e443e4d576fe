#pragma once

// A set-top box played in virtual time, on the far side of a fake serial port. The box reacts
// to what the server writes: it acknowledges the server's frames (1, then 3 or a NAK), records
// every accepted payload, and sends its own request frames one after another, each once a
// given number of frames has arrived since the previous one. Reads that find nothing advance
// the virtual clock by their whole time-out, so silent boxes cost no real time.

#include "dsmcc/codec.h"
#include "link/link_frame.h"
#include "session/session.h"
#include "tests/support/fake_port.h"
#include "tests/support/virtual_clock.h"
#include "tools/boxsim/box_link.h"
#include "tools/boxsim/box_messages.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::test {

using Bytes = std::vector<uint8_t>;

// The box's requests, built by the box library (its own code, not the server's).
using boxsim::dataRequest;
using boxsim::infoRequest;

// One block as the box saw it.
struct SeenBlock {
    uint32_t downloadId;
    uint16_t messageLength;
    uint16_t moduleId;
    uint8_t moduleVersion;
    uint16_t blockNumber;
    Bytes data;
};

// The box is its own virtual clock (box.nowMs).
class ScriptedBox final : public FakePort, public VirtualClock {
public:
    // What the box sends next, built when it is due (it may need the downloadId of the
    // response the box has just received).
    struct Step {
        std::function<Bytes(const ScriptedBox&)> message;
        int afterFrames = 0;  // frames to accept, since the previous request, before sending
        int corruptTimes = 0; // header CRC-32 damaged this many times (the server NAKs each)
    };

    bool portOpen = true;
    int purges = 0;
    Bytes serverAcks;              // every single byte the server wrote
    std::vector<Bytes> frames;     // every payload the box accepted, in order
    std::vector<SeenBlock> blocks; // the accepted DownloadDataBlocks
    uint32_t responseDownloadId = 0;
    uint16_t responseBlockSize = 0;
    uint8_t responseWindowSize = 0;
    // Frame index (0 = the first frame the server sends) -> NAKs still to give.
    std::map<int, int> naks;
    bool silent = false; // acknowledges nothing and sends no request
    // What the line still held when the server purged (bytes inside a USB adapter): it
    // arrives after the purge.
    Bytes afterPurge;

    void wakeup(uint8_t value) { in_.push_back(value); }
    void add(Step step) { steps_.push_back(std::move(step)); }
    void add(Bytes message, int afterFrames = 0, int corruptTimes = 0) {
        add(Step{[m = std::move(message)](const ScriptedBox&) { return m; }, afterFrames,
                 corruptTimes});
    }
    // A data request carrying the downloadId of the last response the box received.
    void request(uint16_t moduleId, uint16_t blockNumber, uint8_t reason, int afterFrames = 0) {
        add(Step{[=](const ScriptedBox& box) {
                     return dataRequest(box.responseDownloadId, moduleId, blockNumber, reason);
                 },
                 afterFrames, 0});
    }
    // Forgets the exchange in progress: the box powers up again for a new session.
    void restart() {
        in_.clear();
        steps_.clear();
        naks.clear();
        inPayload_ = started_ = sending_ = false;
        corrupt_ = framesSinceRequest_ = frameIndex_ = 0;
    }
    size_t stepsLeft() const { return steps_.size() + (sending_ ? 1 : 0); }

    // SerialPort.
    bool openDownloadPort(const char*) override { return portOpen = true; }
    void closeDownloadPort() override { portOpen = false; }
    bool purge() override {
        ++purges;
        in_.assign(afterPurge.begin(), afterPurge.end());
        return true;
    }
    int writeByte(uint8_t value) override {
        serverAcks.push_back(value);
        if (silent) {
            return LINK_OK;
        }
        if (value == LINK_ACK_WAKEUP && !started_) {
            started_ = true;
            sendNextIfDue();
        } else if (value == LINK_ACK_HEADER && sending_) {
            in_.insert(in_.end(), pending_.begin(), pending_.end());
        } else if (value == LINK_ACK_OK && sending_) {
            sending_ = false;
            framesSinceRequest_ = 0;
            sendNextIfDue();
        } else if (value == LINK_NAK_CRC && sending_) {
            pushHeader();
        }
        return LINK_OK;
    }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        if (silent) {
            return LINK_OK;
        }
        if (!inPayload_) {
            header_.assign(data, data + count);
            inPayload_ = true;
            in_.push_back(LINK_ACK_HEADER);
            return LINK_OK;
        }
        inPayload_ = false;
        Bytes payload(data, data + count);
        const bool crcOk = header_.size() == boxsim::FRAME_HEADER_SIZE &&
                           boxsim::payloadMatches(header_.data(), data, count);
        auto nak = naks.find(frameIndex_);
        if (!crcOk || (nak != naks.end() && nak->second > 0)) {
            if (crcOk) {
                --nak->second;
            }
            in_.push_back(LINK_NAK_CRC);
            return LINK_OK;
        }
        ++frameIndex_;
        in_.push_back(LINK_ACK_OK);
        frames.push_back(payload);
        accept(payload);
        return LINK_OK;
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        const uint32_t wanted = *count;
        uint32_t got = 0;
        while (got < wanted && !in_.empty()) {
            buffer[got++] = in_.front();
            in_.pop_front();
        }
        if (got < wanted) {
            nowMs += timeoutMs;
        }
        *count = got;
        return got != 0 ? LINK_OK : LINK_ERR_IO;
    }

private:
    void accept(const Bytes& payload) {
        if (payload.size() >= 12 && readU16BE(&payload[2]) == DSMCC_DOWNLOAD_INFO_RESPONSE) {
            responseDownloadId = readU32BE(&payload[12]);
            responseBlockSize = readU16BE(&payload[16]);
            responseWindowSize = payload[18];
        } else if (payload.size() >= 18 && readU16BE(&payload[2]) == DSMCC_DOWNLOAD_DATA_BLOCK) {
            blocks.push_back({readU32BE(&payload[4]), readU16BE(&payload[10]),
                              readU16BE(&payload[12]), payload[14], readU16BE(&payload[16]),
                              Bytes(payload.begin() + 18, payload.end())});
        }
        ++framesSinceRequest_;
        sendNextIfDue();
    }
    void sendNextIfDue() {
        if (sending_ || !started_ || steps_.empty() ||
            framesSinceRequest_ < steps_.front().afterFrames) {
            return;
        }
        Step step = std::move(steps_.front());
        steps_.pop_front();
        pending_ = step.message(*this);
        corrupt_ = step.corruptTimes;
        sending_ = true;
        pushHeader();
    }
    void pushHeader() {
        uint8_t header[boxsim::FRAME_HEADER_SIZE];
        boxsim::frameHeader(pending_.data(), pending_.size(), header);
        if (corrupt_ > 0) {
            --corrupt_;
            header[4] ^= 0xFF;
        }
        in_.insert(in_.end(), header, header + boxsim::FRAME_HEADER_SIZE);
    }

    std::deque<uint8_t> in_;
    std::deque<Step> steps_;
    Bytes header_;
    Bytes pending_;
    bool inPayload_ = false;
    bool started_ = false;
    bool sending_ = false;
    int corrupt_ = 0;
    int framesSinceRequest_ = 0;
    int frameIndex_ = 0;
};

class RecordingReporter final : public ProgressReporter {
public:
    std::string log;
    std::string notes; // what only the command line's Test Log file shows
    std::vector<std::string> calls;
    std::string resultText;
    std::string resultCaption;
    bool resultError = false;
    int stallResets = 0;
    int frameReports = 0;

    void showTestLog() override { calls.push_back("showTestLog"); }
    void showProgress() override { calls.push_back("showProgress"); }
    void postProgress(int) override { ++frameReports; }
    void setStatusText(const char*) override {}
    void resetStallTicks() override { ++stallResets; }
    void disarm() override { calls.push_back("disarm"); }
    void logText(const char* text) override { log += text; }
    void logNote(const char* text) override { notes += text; }
    void showResult(const char* text, const char* caption, bool errorIcon) override {
        calls.push_back("showResult");
        resultText = text;
        resultCaption = caption;
        resultError = errorIcon;
    }
    void endSession() override { calls.push_back("endSession"); }
};

// A box, a session context and a recording front end, wired together. The context is large:
// keep the fixture on the heap.
struct SessionRig {
    ScriptedBox box;
    VirtualPauser pauser{box.nowMs};
    RecordingReporter reporter;
    SessionContext ctx{box, pauser, reporter};
    std::vector<Bytes> moduleData;

    // Module rows with the given sizes; module i's byte j is (i * 31 + j * 7) & 0xFF, so a block
    // from the wrong place is caught.
    void image(const std::vector<uint32_t>& sizes, uint32_t fileSize = 0) {
        moduleData.clear();
        moduleData.reserve(sizes.size());
        ctx.response.numberOfModules = static_cast<uint16_t>(sizes.size());
        uint32_t total = 7;
        for (size_t i = 0; i < sizes.size(); ++i) {
            Bytes data(sizes[i]);
            for (uint32_t j = 0; j < sizes[i]; ++j) {
                data[j] = static_cast<uint8_t>(i * 31 + j * 7);
            }
            moduleData.push_back(std::move(data));
            ModuleEntry& row = ctx.response.modules[i];
            row.moduleId = static_cast<uint16_t>(0x100 + i);
            row.moduleSize = sizes[i];
            row.moduleVersion = static_cast<uint8_t>(i + 1);
            row.moduleInfoLength = 2;
            row.moduleInfo[0] = 1;
            row.moduleInfo[1] = 0;
            row.moduleData = moduleData.back().data();
            total += 10 + sizes[i];
        }
        initResponseHeader(ctx.response);
        ctx.link.imageSize = fileSize != 0 ? fileSize : total;
    }

    // The bytes a block of module m starting at block b should carry.
    Bytes expected(uint16_t m, uint32_t offset, uint32_t n) const {
        return Bytes(moduleData[m].begin() + offset, moduleData[m].begin() + offset + n);
    }
};

// (moduleId, blockNumber) of every block the box accepted, in order.
using Ids = std::vector<std::pair<int, int>>;
inline Ids blockIds(const SessionRig& rig) {
    Ids ids;
    for (const SeenBlock& b : rig.box.blocks) {
        ids.emplace_back(b.moduleId, b.blockNumber);
    }
    return ids;
}

class ImmediateStart final : public StartSignal {
public:
    int waits = 0;
    void wait() override { ++waits; }
};

} // namespace kestrune::test
