#pragma once

#include "common/result_codes.h"
#include "link/frame_progress.h"
#include "link/frame_tap.h"
#include "link/pause.h"
#include "link/serial_port.h"

#include <cstdint>

namespace kestrune {

// Acknowledgement bytes, each sent on its own.
constexpr uint8_t LINK_ACK_HEADER = 1;
constexpr uint8_t LINK_ACK_WAKEUP = 2;
constexpr uint8_t LINK_ACK_OK = 3;
constexpr uint8_t LINK_NAK_CRC = 4;

constexpr uint32_t LINK_HEADER_SIZE = 11;
constexpr uint32_t LINK_MAX_SEND_PAYLOAD = 65535;
constexpr int LINK_ATTEMPTS = 10;
constexpr uint32_t LINK_ACK_TIMEOUT_MS = 3000;
constexpr uint32_t LINK_HEADER_TIMEOUT_MS = 100000;
constexpr uint32_t LINK_PAYLOAD_PAUSE_MS = 100;
// More than any adapter holds after a purge (the largest keep a few KiB), so that a line that
// only ever sends non-zero bytes still reaches the ordinary header course.
constexpr uint32_t LINK_MAX_LEFTOVERS = 4096;

// payloadLength u32, payloadCrc u32, reserved u8, headerCrc u16, all big-endian on the wire.
struct LinkFrame {
    uint32_t payloadLength;
    uint32_t payloadCrc;
    uint8_t reserved;
    uint16_t headerCrc;
};

uint32_t crc32(const uint8_t* data, uint32_t length, uint32_t initial); // CRC-32/MPEG-2
uint16_t crc16(const uint8_t* data, uint32_t length, uint16_t initial); // CRC-16/ARC

// Builds the 11 header bytes for a payload (CRC-32 from 0xFFFFFFFF, CRC-16 from 0).
void buildLinkHeader(const uint8_t* payload, uint32_t length, uint8_t out[LINK_HEADER_SIZE]);

// What both frame operations work on. bytesSent and imageSize are the download's
// progress counters (bytesSent reset by the session driver at session start).
struct LinkContext {
    SerialPort& port;
    Pauser& pauser;
    FrameProgress& progress;
    uint32_t bytesSent = 0;
    uint32_t imageSize = 0;
    // Frame attempts after the first in sendFrame and NAKs sent by receiveFrame: how hard the
    // line made the link work. Reset by the session driver with bytesSent.
    uint32_t framesResent = 0;
    // Set by the session driver right after its purge, cleared by the next header read. A USB
    // adapter delivers what it held after a purge (the box's last wake-up bytes, bytes received
    // at the watch's baud): until a header begins, a byte that cannot begin one (anything but
    // the 0 of the payload length's high byte) is such a leftover and is skipped, counted in
    // leftoversSkipped. A 0 begins the header, as on any line.
    bool skipLeftovers = false;
    uint32_t leftoversSkipped = 0;
    // Told of every accepted frame; none when null.
    FrameTap* tap = nullptr;
    // The one header buffer of both operations. A short header read overwrites only the
    // bytes that arrived; the rest keep what the previous frame left there.
    uint8_t headerBuffer[LINK_HEADER_SIZE] = {};
};

// LINK_OK when the box answered 3, LINK_ERR_RETRIES after 10 attempts. Reports progress
// after the attempt loop whether or not the frame was delivered. length <= 65535.
int sendFrame(LinkContext& link, const uint8_t* payload, uint32_t length);

// capacity: in, the buffer's size; out (LINK_OK only), the payload bytes received.
int receiveFrame(LinkContext& link, uint8_t* buffer, uint32_t* capacity, uint16_t payloadTimeoutMs);

} // namespace kestrune
