#pragma once

// Sits between the session and its port and notes what an attempt's verdict needs that the
// session does not keep: the wake-up byte it read, and how the box answered the frame in flight
// (NAKs in a row, or silence). Written on the session thread only, read once it has been
// joined. No allocation, no lock: it is on the download path.

#include "common/byte_order.h"
#include "common/result_codes.h"
#include "dsmcc/records.h"
#include "link/link_frame.h"
#include "link/serial_port.h"
#include "station/verdict.h"

#include <chrono>

namespace kestrune::station {

class LinkWatch final : public SerialPort {
public:
    explicit LinkWatch(SerialPort& inner) : inner_(inner) {}

    void reset() {
        wakeupKnown = false;
        wakeupByte = 0;
        frame = {};
        firstRead_ = true;
        headerSent_ = false;
        payloadSent_ = false;
        naks = 0;
        crcErrors = 0;
        firstRequestMs = 0;
    }

    bool wakeupKnown = false;
    uint8_t wakeupByte = 0;
    FrameRefusals frame;
    // Of the whole download, for the port's health: the box's NAKs of our frames, its frames
    // that failed their CRC, and the time from its wake-up byte to its first request (0: none).
    uint32_t naks = 0;
    uint32_t crcErrors = 0;
    uint32_t firstRequestMs = 0;

    bool openDownloadPort(const char* name) override { return inner_.openDownloadPort(name); }
    void closeDownloadPort() override { inner_.closeDownloadPort(); }
    bool purge() override { return inner_.purge(); }
    int writeByte(uint8_t value) override {
        if (value == LINK_NAK_CRC) {
            frame.crcErrors += 1; // a frame of the box arrived damaged: the box is answering
            crcErrors += 1;
        }
        return inner_.writeByte(value);
    }
    int writeBlock(const uint8_t* data, uint32_t count) override {
        if (!headerSent_) {
            headerSent_ = count == LINK_HEADER_SIZE;
        } else {
            headerSent_ = false;
            payloadSent_ = true;
            noteFrame(data, count);
            frame.crcErrors = 0; // a frame went out: the watchdog starts again
        }
        return inner_.writeBlock(data, count);
    }
    int readBlock(uint8_t* buffer, uint32_t* count, uint32_t timeoutMs) override {
        headerSent_ = false;
        const int r = inner_.readBlock(buffer, count, timeoutMs);
        if (firstRequestMs == 0 && !firstRead_ && r == LINK_OK && *count != 0) {
            // The first bytes of the box's DownloadInfoRequest.
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - wokeAt_)
                    .count();
            firstRequestMs = static_cast<uint32_t>(ms < 1 ? 1 : ms);
        }
        return r;
    }
    int readByte(uint8_t* value, uint32_t timeoutMs) override {
        const int r = inner_.readByte(value, timeoutMs);
        if (firstRead_) {
            // The session's first read is the wake-up byte.
            firstRead_ = false;
            wakeupKnown = r == LINK_OK;
            wakeupByte = *value;
            wokeAt_ = Clock::now();
            return r;
        }
        if (payloadSent_) {
            payloadSent_ = false;
            if (r != LINK_OK) {
                frame.unanswered += 1;
            } else if (*value == LINK_ACK_OK) {
                frame.refused = 0;
                frame.unanswered = 0;
            } else {
                frame.refused += 1;
                frame.unanswered = 0;
                naks += 1;
            }
        }
        return r;
    }
    bool openWatchPort(const char* name) override { return inner_.openWatchPort(name); }
    bool pollWatchByte() override { return inner_.pollWatchByte(); }
    void closeWatchPort() override { inner_.closeWatchPort(); }

private:
    void noteFrame(const uint8_t* payload, uint32_t length) {
        ByteReader in(payload, length);
        in.skip(2);
        const bool dataBlock = in.u16() == DSMCC_DOWNLOAD_DATA_BLOCK;
        in.skip(8);
        uint16_t moduleId = in.u16();
        in.skip(2);
        uint16_t blockNumber = in.u16();
        if (!dataBlock || !in.ok()) {
            moduleId = 0;
            blockNumber = 0;
        }
        if (dataBlock != frame.dataBlock || moduleId != frame.moduleId ||
            blockNumber != frame.blockNumber) {
            frame = {};
        }
        frame.dataBlock = dataBlock && in.ok();
        frame.moduleId = moduleId;
        frame.blockNumber = blockNumber;
    }

    using Clock = std::chrono::steady_clock;
    SerialPort& inner_;
    Clock::time_point wokeAt_{};
    bool firstRead_ = true;
    bool headerSent_ = false;
    bool payloadSent_ = false;
};

} // namespace kestrune::station
