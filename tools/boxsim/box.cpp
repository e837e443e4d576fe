#include "tools/boxsim/box.h"

#include "common/byte_order.h"
#include "tools/boxsim/box_messages.h"

#include <algorithm>
#include <cstdio>

namespace boxsim {

bool Box::fail(int status, const std::string& text) {
    if (verdict_.status == EXIT_EXACT || status < verdict_.status) {
        verdict_.status = status;
        verdict_.text = text;
    }
    return false;
}

void Box::note(const std::string& text) {
    if (options_.verbose) {
        std::fprintf(stderr, "boxsim %s: %s\n", line_.name().c_str(), text.c_str());
    }
}

bool Box::complete() const {
    if (seen_.empty() && !modules_.empty()) {
        return false; // no DownloadInfoResponse taken
    }
    for (const auto& s : seen_) {
        for (bool b : s) {
            if (!b) {
                return false;
            }
        }
    }
    return true;
}

std::string Box::stats(double started) const {
    const double elapsed = line_.now() - started;
    // What the protocol itself costs at the paced rate: every byte on the line both ways,
    // the server's 100 ms before each frame's payload and before each block.
    const double rate = options_.baud != 0 ? options_.baud / 10.0 : 5760.0;
    const double minimum = static_cast<double>(line_.bytesIn + line_.bytesOut) / rate +
                           0.1 * attempts_ + 0.1 * blocks_;
    char text[256];
    std::snprintf(text, sizeof text,
                  "%llu blocks, %llu data bytes, downloadId %u, blockSize %u, windowSize %u; "
                  "%.3f s (protocol minimum %.3f s)",
                  static_cast<unsigned long long>(blocks_),
                  static_cast<unsigned long long>(dataBytes_), downloadId_, blockSize_, windowSize_,
                  elapsed, minimum);
    return text;
}

bool Box::unplugDue() const {
    return options_.unplugAfter >= 0 && blocks_ == static_cast<uint64_t>(options_.unplugAfter);
}

// The box leaves at once, its last acknowledgement sent; the caller pulls the plug.
Verdict Box::unplugNow(double started) {
    verdict_ = {EXIT_INCOMPLETE,
                "unplugged after " + std::to_string(blocks_) +
                    " blocks, as asked: " + stats(started),
                true};
    return verdict_;
}

Task<Reboot> Box::reboot(double seconds) {
    Reboot result;
    const double start = line_.now();
    const double end = start + seconds;
    note("restarting for " + std::to_string(seconds) + " s");
    while (line_.now() < end) {
        line_.offerByte(options_.wakeupByte);
        const double next = std::min(end, line_.now() + 0.05);
        for (double now; (now = line_.now()) < next;) {
            // A restarting box understands nothing; only an answer to its wake-up is noted.
            if (co_await line_.readByte(next - now) == 2) {
                if (result.answers++ == 0) {
                    result.firstAnswer = line_.now() - start;
                    note("a server answered the restart's wake-up byte");
                }
            }
        }
    }
    line_.forgetUnheard();
    co_return result;
}

Task<bool> Box::settle(double quiet) {
    uint8_t sink[256];
    while (co_await line_.read(sink, sizeof sink, quiet) != 0) {
    }
    co_return true;
}

Bytes Box::infoRequest() const {
    return boxsim::infoRequest(InfoRequestShape{
        options_.bufferSize, options_.maximumBlockSize, options_.typeOne, options_.descriptors,
        options_.descriptorCount, options_.serial, options_.serialType});
}

Bytes Box::dataRequest(uint16_t moduleId, uint32_t blockIndex, uint8_t reason, bool wrongId) const {
    return boxsim::dataRequest(wrongId ? downloadId_ + 1000 : downloadId_, moduleId,
                               static_cast<uint16_t>(blockIndex), reason);
}

// The box as sender: header, the server's 1, payload, the server's 3 (or 4: again). On a
// noisy line an answer it cannot read is taken as a refusal too.
Task<bool> Box::sendFrame(const Bytes& payload, int requestIndex) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        Bytes h = frameHeader(payload);
        auto damage = corrupt_.find(requestIndex);
        if (damage != corrupt_.end() && damage->second > 0) {
            --damage->second;
            // A wrong CRC-32 under a right CRC-16: the server takes the header, refuses the
            // payload.
            kestrune::writeU32BE(kestrune::readU32BE(&h[4]) ^ 0x5A5A5A5Au, &h[4]);
            kestrune::writeU16BE(crc16Arc(h.data(), 9), &h[9]);
        }
        if (!line_.write(h.data(), h.size())) {
            co_return fail(EXIT_PROTOCOL, "cannot write to the line");
        }
        const int ack1 = co_await line_.readByte(options_.timeout);
        if (ack1 != 1 && !noise_.noisy()) {
            co_return fail(EXIT_INCOMPLETE, ack1 < 0 ? "server silent after a request header"
                                                     : "server answered a request header with " +
                                                           std::to_string(ack1) + ", not 1");
        }
        if (ack1 < 0) {
            continue;
        }
        line_.write(payload.data(), payload.size());
        const int ack = co_await line_.readByte(options_.timeout);
        if (ack == 3) {
            co_return true;
        }
        if (ack != 4 && !noise_.noisy()) {
            co_return fail(EXIT_INCOMPLETE,
                           ack < 0 ? "server silent after a request"
                                   : "server answered a request with " + std::to_string(ack));
        }
        note("request " + std::to_string(requestIndex) + " not accepted (" + std::to_string(ack) +
             "), again");
    }
    // The server has given up on this frame and goes on without it.
    refused_ = true;
    co_return fail(EXIT_INCOMPLETE,
                   "request " + std::to_string(requestIndex) + " refused 10 times");
}

// The box as receiver: header, 1, payload, 3 (or 4 when a NAK is due). On a noisy line a
// damaged header is ignored (the line is let go quiet, and the server's next attempt brings a
// fresh one) and a damaged payload refused with 4; on a clean line either is the server's fault.
Task<bool> Box::receiveFrame(Bytes& payload) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        uint8_t header[11];
        const size_t got = co_await line_.read(header, 11, options_.timeout);
        if (got == 0) {
            co_return fail(EXIT_INCOMPLETE, "server silent (no frame within the time-out)");
        }
        const uint32_t length = kestrune::readU32BE(header);
        if (got != 11 || crc16Arc(header, 9) != kestrune::readU16BE(header + 9) || header[8] != 0 ||
            length > 65535) {
            if (noise_.noisy()) {
                note("damaged frame header, waiting for the next attempt");
                co_await settle(0.5);
                continue;
            }
            co_return fail(EXIT_PROTOCOL,
                           got != 11        ? "frame header cut short"
                           : length > 65535 ? "frame of " + std::to_string(length) + " bytes"
                                            : "frame header with a wrong CRC-16 or reserved byte");
        }
        ++attempts_;
        line_.writeByte(1);
        payload.resize(length);
        const size_t read = co_await line_.read(payload.data(), length, options_.timeout);
        if (read != length ||
            crc32Mpeg2(payload.data(), length) != kestrune::readU32BE(header + 4)) {
            if (noise_.noisy()) {
                note("damaged frame payload, refused");
                line_.writeByte(4);
                continue;
            }
            co_return fail(EXIT_PROTOCOL, read != length ? "frame payload cut short"
                                                         : "frame payload with a wrong CRC-32");
        }
        auto nak = naks_.find(serverFrames_);
        if (nak != naks_.end() && nak->second > 0) {
            --nak->second;
            note("frame " + std::to_string(serverFrames_) + " refused on purpose");
            line_.writeByte(4);
            --attempt; // a refusal on purpose is not the line's doing
            continue;
        }
        ++serverFrames_;
        line_.writeByte(3);
        co_return true;
    }
    co_return fail(EXIT_INCOMPLETE, "a frame from the server failed 10 attempts");
}

bool Box::checkResponse(const Bytes& m) {
    auto bad = [&](const std::string& what) {
        return fail(EXIT_MISMATCH, "DownloadInfoResponse: " + what);
    };
    if (m.size() < 34 || m[0] != 0x11 || m[1] != 3 || kestrune::readU16BE(&m[2]) != 0x1002) {
        return bad("not a DownloadInfoResponse");
    }
    if (kestrune::readU16BE(&m[10]) + 12u != m.size()) {
        return bad("messageLength " + std::to_string(kestrune::readU16BE(&m[10])) + " for " +
                   std::to_string(m.size()) + " bytes");
    }
    downloadId_ = kestrune::readU32BE(&m[12]);
    blockSize_ = kestrune::readU16BE(&m[16]);
    windowSize_ = m[18];
    if (downloadId_ == 0) {
        return bad("downloadId 0");
    }
    if (blockSize_ == 0 || blockSize_ > 65517 || windowSize_ == 0 || m[19] != windowSize_) {
        return bad("blockSize " + std::to_string(blockSize_) + ", windowSize " +
                   std::to_string(windowSize_));
    }
    if (kestrune::readU16BE(&m[30]) != modules_.size()) {
        return bad("numberOfModules " + std::to_string(kestrune::readU16BE(&m[30])));
    }
    size_t at = 32;
    for (size_t i = 0; i < modules_.size(); ++i) {
        const Module& mod = modules_[i];
        if (at + 8 > m.size() || kestrune::readU16BE(&m[at]) != mod.moduleId ||
            kestrune::readU32BE(&m[at + 2]) != mod.size || m[at + 6] != mod.version ||
            m[at + 7] != mod.info.size() || at + 8 + mod.info.size() > m.size() ||
            !std::equal(mod.info.begin(), mod.info.end(), m.begin() + at + 8)) {
            return bad("module entry " + std::to_string(i) + " differs from the image");
        }
        at += 8 + mod.info.size();
    }
    return true;
}

bool Box::isRepeat(const Bytes& m) const {
    if (m.size() < 18 || kestrune::readU16BE(&m[2]) != MSG_DATA_BLOCK ||
        kestrune::readU32BE(&m[4]) != downloadId_) {
        return false;
    }
    const uint16_t moduleId = kestrune::readU16BE(&m[12]);
    const uint16_t blockNumber = kestrune::readU16BE(&m[16]);
    return moduleId < seen_.size() && blockNumber < seen_[moduleId].size() &&
           seen_[moduleId][blockNumber];
}

bool Box::checkBlock(const Bytes& m, uint16_t moduleId, uint32_t blockIndex) {
    const auto blockNumber = static_cast<uint16_t>(blockIndex);
    const std::string where =
        "block " + std::to_string(blockNumber) + " of module " + std::to_string(moduleId);
    auto bad = [&](const std::string& what) { return fail(EXIT_MISMATCH, where + ": " + what); };
    if (m.size() < 18 || m[0] != 0x11 || m[1] != 3 || kestrune::readU16BE(&m[2]) != 0x1003) {
        return bad("not a DownloadDataBlock");
    }
    const size_t n = m.size() - 18;
    if (kestrune::readU32BE(&m[4]) != downloadId_) {
        return bad("downloadId " + std::to_string(kestrune::readU32BE(&m[4])));
    }
    if (kestrune::readU16BE(&m[12]) != moduleId || kestrune::readU16BE(&m[16]) != blockNumber) {
        return bad("got block " + std::to_string(kestrune::readU16BE(&m[16])) + " of module " +
                   std::to_string(kestrune::readU16BE(&m[12])));
    }
    const Module& mod = modules_[moduleId];
    if (m[14] != mod.version) {
        return bad("moduleVersion " + std::to_string(m[14]));
    }
    if (kestrune::readU16BE(&m[10]) != n + 10) {
        return bad("messageLength " + std::to_string(kestrune::readU16BE(&m[10])) + " for " +
                   std::to_string(n) + " data bytes");
    }
    const uint64_t offset = static_cast<uint64_t>(blockIndex) * blockSize_;
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
    if (blockIndex < seen_[moduleId].size()) {
        seen_[moduleId][blockIndex] = true;
    }
    ++blocks_;
    dataBytes_ += n;
    return true;
}

// The blocks a window brings after a request naming (moduleId, blockNumber): the named block
// onwards, on into the next modules, windowSize at most. An empty module reached by moving on
// comes as one empty block; one that the request names is skipped.
void Box::predictWindow(uint16_t moduleId, uint32_t blockIndex,
                        std::vector<std::pair<uint16_t, uint32_t>>& window) const {
    window.clear();
    uint32_t m = moduleId;
    uint32_t b = blockIndex;
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
        window.emplace_back(static_cast<uint16_t>(m), b);
        offset += std::min<uint64_t>(blockSize_, modules_[m].size - offset);
        ++b;
    }
}

void Box::startDownload() {
    verdict_ = Verdict{};
    noise_.stop();
    naks_ = options_.naks;
    corrupt_ = options_.corrupt;
    serverFrames_ = 0;
    blocks_ = dataBytes_ = attempts_ = 0;
    line_.bytesIn = line_.bytesOut = 0;
    sentReason5_ = endedEarly_ = false;
    seen_.clear();
}

Task<bool> Box::wakeUp(const std::string& tag) {
    const double waitEnd = line_.now() + options_.wait;
    bool answered = false;
    while (!answered && line_.now() < waitEnd) {
        line_.offerByte(options_.wakeupByte);
        const double next = line_.now() + options_.wakeupEvery;
        while (!answered && line_.now() < next) {
            const double left = next - line_.now();
            const int b = co_await line_.readByte(left > 0 ? left : 0);
            answered = b == 2;
        }
    }
    if (!answered) {
        verdict_ = {EXIT_INCOMPLETE, "no server answered the wake-up"};
        co_return false;
    }
    // From here on the line counts, and its noise hits, the download's bytes.
    line_.bytesIn = line_.bytesOut = 0;
    noise_.start();
    note(tag + ": wake-up answered");
    co_return true;
}

Task<Verdict> Box::download(int number) {
    startDownload();
    const std::string tag = "download " + std::to_string(number);
    if (!co_await wakeUp(tag)) {
        co_return verdict_;
    }
    const double started = line_.now();

    if (options_.silent) {
        // Stay on the line and say nothing, until the server has given up.
        Bytes sink(4096);
        while (co_await line_.read(sink.data(), sink.size(), options_.timeout) != 0) {
        }
        verdict_ = {EXIT_INCOMPLETE, "silent after the wake-up, as asked"};
        co_return verdict_;
    }

    Bytes frame;
    refused_ = false;
    if (!co_await sendFrame(infoRequest(), 0)) {
        if (!refused_) {
            co_return verdict_;
        }
        // The server answers even a request it never got (with what it parsed before).
        verdict_ = Verdict{};
        note(tag + ": DownloadInfoRequest refused 10 times; waiting for the response anyway");
    }
    if (!co_await receiveFrame(frame) || !checkResponse(frame)) {
        co_return verdict_;
    }
    if (unplugDue()) {
        co_return unplugNow(started);
    }
    note(tag + ": downloadId " + std::to_string(downloadId_) + ", blockSize " +
         std::to_string(blockSize_) + ", windowSize " + std::to_string(windowSize_));
    seen_.assign(modules_.size(), {});
    uint64_t total = 0;
    for (size_t i = 0; i < modules_.size(); ++i) {
        seen_[i].assign((modules_[i].size + blockSize_ - 1) / blockSize_, false);
        total += modules_[i].size;
    }

    uint16_t askModule = 0;
    uint32_t askBlock = 0;
    uint8_t reason = 1;
    int requestIndex = 1;
    int windows = 0;
    bool endedEarly = false;
    std::vector<std::pair<uint16_t, uint32_t>> window;
    for (;;) {
        const bool wrong = requestIndex == options_.wrongId;
        // Sent, whether or not its acknowledgement gets through: the server may have it.
        sentReason5_ = reason == 5;
        if (!co_await sendFrame(dataRequest(askModule, askBlock, reason, wrong), requestIndex)) {
            co_return verdict_;
        }
        ++requestIndex;
        if (wrong) {
            // The server must refuse it: nothing more may come.
            Bytes extra;
            if (co_await receiveFrame(extra)) {
                verdict_ = {EXIT_MISMATCH, "a frame came after a request with a wrong downloadId"};
            } else {
                verdict_ = {EXIT_INCOMPLETE,
                            "request with a wrong downloadId refused, as it must be"};
            }
            co_return verdict_;
        }
        if (reason == 5) {
            break;
        }
        predictWindow(askModule, askBlock, window);
        for (const auto& [m, b] : window) {
            if (!co_await receiveFrame(frame)) {
                co_return verdict_;
            }
            // On a noisy line a lost acknowledgement brings the block the box holds again.
            while (noise_.noisy() && isRepeat(frame)) {
                note(tag + ": a block again (its acknowledgement was lost)");
                if (!co_await receiveFrame(frame)) {
                    co_return verdict_;
                }
            }
            if (!checkBlock(frame, m, b)) {
                co_return verdict_;
            }
            if (unplugDue()) {
                co_return unplugNow(started);
            }
        }
        ++windows;
        // What to ask for next: the block after the last one received.
        if (!window.empty()) {
            askModule = window.back().first;
            askBlock = window.back().second + 1;
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
        if (options_.endEarly >= 0 && blocks_ >= static_cast<uint64_t>(options_.endEarly) &&
            !(complete() && windows != options_.repeatWindow)) {
            reason = 5;
            endedEarly = true;
        } else if (window.empty() || (complete() && windows != options_.repeatWindow)) {
            reason = 5;
        }
    }

    endedEarly_ = endedEarly;
    const std::string stats = this->stats(started);
    if (endedEarly) {
        verdict_ = {EXIT_INCOMPLETE, "ended early, as asked: " + stats};
    } else if (!complete()) {
        verdict_ = {EXIT_INCOMPLETE, "server sent no more blocks: " + stats};
    } else {
        verdict_ = {EXIT_EXACT, "byte-exact: " + std::to_string(modules_.size()) + " modules, " +
                                    std::to_string(total) + " bytes; " + stats};
        if (options_.endEarly >= 0) {
            // The windows were too large for the early end asked for: say so rather than
            // claim an early end the server never saw.
            verdict_.text += "; not ended early: every block had come by the first window end "
                             "after " +
                             std::to_string(options_.endEarly) + " blocks";
        }
    }
    co_return verdict_;
}

bool Box::matchesCapture(const Bytes& m, const CapturedMessage& captured, size_t step) {
    const Bytes& c = captured.bytes;
    const std::string after = "after request " + std::to_string(step);
    if (m.size() < 12 || c.size() < 12 ||
        kestrune::readU16BE(&m[2]) != kestrune::readU16BE(&c[2])) {
        char text[128];
        std::snprintf(text, sizeof text, "%s: message 0x%04X, the capture has 0x%04X",
                      after.c_str(), m.size() >= 4 ? kestrune::readU16BE(&m[2]) : 0,
                      c.size() >= 4 ? kestrune::readU16BE(&c[2]) : 0);
        return fail(EXIT_MISMATCH, text);
    }
    const uint16_t messageId = kestrune::readU16BE(&m[2]);
    std::string what = "message";
    // Bytes that differ from one download to the next: the downloadId this server chose.
    size_t idFrom = 4;
    size_t idTo = 8;
    if (messageId == MSG_INFO_RESPONSE && m.size() >= 20) {
        what = "DownloadInfoResponse";
        downloadId_ = kestrune::readU32BE(&m[12]);
        blockSize_ = kestrune::readU16BE(&m[16]);
        windowSize_ = m[18];
        idFrom = 12;
        idTo = 16;
    } else if (messageId == MSG_DATA_BLOCK && m.size() >= 18) {
        what = "block " + std::to_string(kestrune::readU16BE(&m[16])) + " of module " +
               std::to_string(kestrune::readU16BE(&m[12]));
        if (kestrune::readU32BE(&m[4]) != downloadId_) {
            return fail(EXIT_MISMATCH, what + ": downloadId " +
                                           std::to_string(kestrune::readU32BE(&m[4])) + ", not " +
                                           std::to_string(downloadId_));
        }
    }
    if (m.size() != captured.fullLength) {
        return fail(EXIT_MISMATCH, what + " " + after + ": " + std::to_string(m.size()) +
                                       " bytes, the capture has " +
                                       std::to_string(captured.fullLength));
    }
    for (size_t i = 0; i < c.size(); ++i) {
        const bool variable =
            (i >= idFrom && i < idTo) || (messageId == MSG_INFO_RESPONSE && i >= 4 && i < 8);
        if (!variable && m[i] != c[i]) {
            char text[96];
            std::snprintf(text, sizeof text, ": byte %zu is 0x%02X, the capture has 0x%02X", i,
                          m[i], c[i]);
            return fail(EXIT_MISMATCH, what + " " + after + text);
        }
    }
    if (messageId == MSG_DATA_BLOCK) {
        ++blocks_;
        dataBytes_ += m.size() - 18;
    }
    return true;
}

Task<Verdict> Box::replay(const ReplayScript& script) {
    startDownload();
    downloadId_ = 0;
    if (!co_await wakeUp("replay")) {
        co_return verdict_;
    }
    const double started = line_.now();
    int requestIndex = 0;
    // The downloadId the captured server gave: a captured request that carried it gets this
    // server's; one that carried another (a box's wrong one) gets one as wrong, derived from
    // this server's the same way, so that the server is asked what it was asked then.
    bool capturedIdKnown = false;
    uint32_t capturedId = 0;
    size_t keptWrong = 0;
    for (size_t s = 0; s < script.steps.size(); ++s) {
        Bytes request = script.steps[s].request;
        if (request.size() >= 8 && kestrune::readU16BE(&request[2]) == MSG_DATA_REQUEST &&
            downloadId_ != 0 && capturedIdKnown) {
            const uint32_t asked = kestrune::readU32BE(&request[4]);
            keptWrong += asked != capturedId;
            kestrune::writeU32BE(downloadId_ ^ (asked ^ capturedId), &request[4]);
        }
        if (!co_await sendFrame(request, requestIndex++)) {
            co_return verdict_;
        }
        for (const CapturedMessage& answer : script.steps[s].answers) {
            Bytes frame;
            if (!co_await receiveFrame(frame)) {
                co_return verdict_;
            }
            if (!matchesCapture(frame, answer, s)) {
                co_return verdict_;
            }
            const Bytes& c = answer.bytes;
            if (c.size() >= 16 && kestrune::readU16BE(&c[2]) == MSG_INFO_RESPONSE) {
                capturedId = kestrune::readU32BE(&c[12]);
                capturedIdKnown = true;
            }
        }
    }
    // The capture ends here: whatever the server sends within the time-out is an answer the
    // captured server never gave (blocks for a request it refused then, say).
    Bytes extra;
    if (co_await receiveFrame(extra)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "after the last request: message 0x%04X, which the capture does not have",
                      extra.size() >= 4 ? kestrune::readU16BE(&extra[2]) : 0);
        verdict_ = {EXIT_MISMATCH, text};
        co_return verdict_;
    }
    verdict_ = {EXIT_EXACT, "as captured: " + std::to_string(script.steps.size()) +
                                " requests answered as in the capture" +
                                (keptWrong != 0 ? " (" + std::to_string(keptWrong) +
                                                      " with the wrong downloadId they had)"
                                                : std::string()) +
                                "; " + stats(started)};
    co_return verdict_;
}

} // namespace boxsim
