// The whole session (wake-up, handshake, data serving) against a box whose every message is
// chosen by the fuzzer. Whatever the box sends, the server must not crash, must not send a
// frame longer than 65535 bytes, every DownloadDataBlock must carry exactly the image's bytes
// for the module and block it names (a 16-bit block number stands for any block congruent to
// it modulo 65536), and a session judged a success must have sent every module byte and count
// no more bytes delivered than it sent.
//
// Input: records of [op][length high][length low][bytes]. op & 3: 0 a frame with a correct
// CRC-32, 1 the same with a damaged CRC-32, 2 raw bytes on the line, 3 refuse (NAK) the
// server's next frame. The box acknowledges each server header with 1 and each payload with 3.
//
// Speed: an input allocates nothing large. The context lives in one static buffer, zeroed
// before each input (fresh heap memory under ASan's quarantine cost more than the session),
// and the bytes written are counted per block, not per byte.

#include "dsmcc/codec.h"
#include "link/link_frame.h"
#include "session/session.h"
#include "tests/support/fake_port.h"
#include "tests/support/quiet_reporter.h"
#include "tools/boxsim/box_link.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

namespace {

using namespace kestrune;

constexpr uint32_t MODULE_SIZES[] = {0, 2500, 300, 0, 70000};
constexpr uint16_t MODULES = sizeof MODULE_SIZES / sizeof MODULE_SIZES[0];
// Blocks of 1 byte in the largest module, and the position just past its end.
constexpr uint32_t MAX_BLOCKS = 70000 + 1;

std::vector<uint8_t>& moduleBytes(int i) {
    static std::vector<uint8_t> data[MODULES];
    if (data[i].size() != MODULE_SIZES[i]) {
        data[i].resize(MODULE_SIZES[i]);
        for (uint32_t j = 0; j < MODULE_SIZES[i]; ++j) {
            data[i][j] = static_cast<uint8_t>((j * 131u + i * 17u) ^ (j >> 8));
        }
    }
    return data[i];
}

class FuzzBox final : public test::FakePort {
public:
    FuzzBox(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    const DownloadInfoResponse* response = nullptr;

    bool purge() override {
        in_.clear();
        return true;
    }
    // Forgets what was written: a session starts (its blocks are all of one blockSize).
    void forgetWritten() {
        ++session_;
        writtenBytes_ = 0;
    }
    // Module bytes the server wrote in blocks since the session started, each counted once.
    uint64_t writtenBytes() const { return writtenBytes_; }

    int writeByte(uint8_t value) override {
        if (value == LINK_ACK_HEADER && !pending_.empty()) {
            in_.insert(in_.end(), pending_.begin(), pending_.end());
            pending_.clear();
        }
        return LINK_OK;
    }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        if (!inPayload_) {
            if (count != LINK_HEADER_SIZE) {
                std::abort();
            }
            inPayload_ = true;
            in_.push_back(LINK_ACK_HEADER);
            return LINK_OK;
        }
        inPayload_ = false;
        check(data, count);
        if (naks_ > 0) {
            --naks_;
            in_.push_back(LINK_NAK_CRC);
        } else {
            in_.push_back(LINK_ACK_OK);
        }
        return LINK_OK;
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t) override {
        if (in_.empty()) {
            feed();
        }
        uint32_t got = 0;
        while (got < *count && !in_.empty()) {
            buffer[got++] = in_.front();
            in_.pop_front();
        }
        *count = got;
        return got != 0 ? LINK_OK : LINK_ERR_IO;
    }
    bool pollWatchByte() override { return true; }

private:
    // The next record of the input onto the line.
    void feed() {
        while (in_.empty() && at_ + 3 <= size_) {
            const uint8_t op = data_[at_];
            size_t length = static_cast<size_t>(data_[at_ + 1]) << 8 | data_[at_ + 2];
            at_ += 3;
            if (length > size_ - at_) {
                length = size_ - at_;
            }
            const uint8_t* bytes = data_ + at_;
            at_ += length;
            switch (op & 3) {
            case 0:
            case 1: {
                uint8_t header[boxsim::FRAME_HEADER_SIZE];
                boxsim::frameHeader(bytes, length, header);
                if ((op & 3) == 1) {
                    header[5] ^= 0x01;
                }
                in_.insert(in_.end(), header, header + LINK_HEADER_SIZE);
                pending_.assign(bytes, bytes + length);
                break;
            }
            case 2:
                in_.insert(in_.end(), bytes, bytes + length);
                break;
            default:
                ++naks_;
                break;
            }
        }
    }

    void check(const uint8_t* m, uint32_t n) {
        if (n > LINK_MAX_SEND_PAYLOAD) {
            std::abort();
        }
        if (n < 18 || readU16BE(m + 2) != DSMCC_DOWNLOAD_DATA_BLOCK) {
            return;
        }
        const uint16_t moduleId = readU16BE(m + 12);
        const uint16_t blockNumber = readU16BE(m + 16);
        const uint32_t dataLength = n - 18;
        if (moduleId >= MODULES || dataLength > response->blockSize ||
            readU16BE(m + 10) != dataLength + 10 || readU32BE(m + 4) != response->downloadId) {
            std::abort();
        }
        // The block numbered blockNumber, or one 65536, 131072, ... blocks further on.
        const std::vector<uint8_t>& bytes = moduleBytes(moduleId);
        const uint64_t blockSize = response->blockSize;
        for (uint64_t k = blockNumber; k * blockSize <= bytes.size(); k += 65536) {
            const uint64_t offset = k * blockSize;
            const uint64_t left = bytes.size() - offset;
            if (dataLength == (left < blockSize ? left : blockSize) &&
                (dataLength == 0 || std::memcmp(m + 18, bytes.data() + offset, dataLength) == 0)) {
                uint32_t& seen = written_[moduleId][k];
                if (seen != session_) {
                    seen = session_;
                    writtenBytes_ += dataLength;
                }
                return;
            }
        }
        std::abort();
    }

    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    std::deque<uint8_t> in_;
    std::vector<uint8_t> pending_;
    // Per module and block: the last session that wrote the block (blocks of 1 byte at most).
    static inline uint32_t written_[MODULES][MAX_BLOCKS];
    static inline uint32_t session_ = 0;
    uint64_t writtenBytes_ = 0;
    bool inPayload_ = false;
    int naks_ = 0;
};

class NoPause final : public Pauser {
public:
    void pause(uint32_t) override {}
};

// Shows nothing; a piece of log text of 80 characters or more is a fault.
class Quiet final : public test::QuietReporter {
public:
    void logText(const char* text) override {
        if (std::strlen(text) >= 80) {
            std::abort();
        }
    }
};

class Go final : public StartSignal {
public:
    void wait() override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBox box(data, size);
    NoPause pauser;
    Quiet reporter;
    Go go;
    alignas(SessionContext) static unsigned char storage[sizeof(SessionContext)];
    std::memset(storage, 0, sizeof storage);
    SessionContext* ctx = new (storage) SessionContext(box, pauser, reporter);
    box.response = &ctx->response;
    ctx->response.numberOfModules = MODULES;
    for (uint16_t i = 0; i < MODULES; ++i) {
        ModuleEntry& row = ctx->response.modules[i];
        row.moduleId = static_cast<uint16_t>(i + 1);
        row.moduleSize = MODULE_SIZES[i];
        row.moduleVersion = static_cast<uint8_t>(i);
        row.moduleInfoLength = 2;
        row.moduleData = moduleBytes(i).data();
    }
    initResponseHeader(ctx->response);
    ctx->link.imageSize = 80000;
    // Two sessions in a row, as a front end runs them: the records carry over.
    for (int session = 0; session < 2; ++session) {
        box.forgetWritten();
        runSession(*ctx, go);
        const uint64_t written = box.writtenBytes();
        if (ctx->lastModuleBytes != 72800 || ctx->lastDeliveredBytes > written ||
            (ctx->lastSucceeded && (ctx->lastResult != 0 || written != ctx->lastModuleBytes))) {
            std::abort();
        }
    }
    ctx->~SessionContext();
    return 0;
}
