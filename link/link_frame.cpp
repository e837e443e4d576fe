#include "link/link_frame.h"

#include "common/byte_order.h"

namespace kestrune {
namespace {

void reportProgress(LinkContext& link) {
    link.progress.frameSent(link.bytesSent, link.imageSize);
}

// The 11 header bytes within the header time-out; with skipLeftovers, the leftovers before
// the first byte that can begin a header are read one by one and dropped, and the rest of
// the header is then read whole (in as many pieces as the line delivers it). `got` receives
// the header bytes read; a short header keeps the rest of the buffer as it was.
int readHeader(LinkContext& link, uint8_t* header, uint32_t* got) {
    if (!link.skipLeftovers) {
        *got = LINK_HEADER_SIZE;
        return link.port.readBlock(header, got, LINK_HEADER_TIMEOUT_MS);
    }
    link.skipLeftovers = false;
    uint8_t first = 0;
    for (;;) {
        if (link.port.readByte(&first, LINK_HEADER_TIMEOUT_MS) != LINK_OK) {
            *got = 0;
            return LINK_ERR_IO;
        }
        if (first == 0 || link.leftoversSkipped >= LINK_MAX_LEFTOVERS) {
            break;
        }
        link.leftoversSkipped += 1;
    }
    header[0] = first;
    uint32_t rest = LINK_HEADER_SIZE - 1;
    link.port.readBlock(header + 1, &rest, LINK_HEADER_TIMEOUT_MS);
    *got = 1 + rest;
    return LINK_OK;
}

} // namespace

void buildLinkHeader(const uint8_t* payload, uint32_t length, uint8_t out[LINK_HEADER_SIZE]) {
    writeU32BE(length, out);
    writeU32BE(crc32(payload, length, 0xFFFFFFFFu), out + 4);
    out[8] = 0;
    const uint16_t headerCrc = crc16(out, 9, 0);
    // The CRC-16 is reflected, but the header carries it high byte first.
    out[9] = static_cast<uint8_t>(headerCrc >> 8);
    out[10] = static_cast<uint8_t>(headerCrc);
}

int sendFrame(LinkContext& link, const uint8_t* payload, uint32_t length) {
    uint8_t* header = link.headerBuffer;
    buildLinkHeader(payload, length, header);

    bool delivered = false;
    for (int attempt = 0; attempt < LINK_ATTEMPTS && !delivered; ++attempt) {
        if (attempt > 0) {
            link.framesResent += 1;
        }
        link.port.writeBlock(header, LINK_HEADER_SIZE);
        // The box's header acknowledgement: neither its arrival nor its value matters.
        uint8_t headerAck = 0;
        link.port.readByte(&headerAck, LINK_ACK_TIMEOUT_MS);
        link.pauser.pause(LINK_PAYLOAD_PAUSE_MS);
        link.port.writeBlock(payload, length);
        uint8_t payloadAck = 0;
        delivered = link.port.readByte(&payloadAck, LINK_ACK_TIMEOUT_MS) == LINK_OK &&
                    payloadAck == LINK_ACK_OK;
    }
    if (delivered && link.tap != nullptr) {
        link.tap->onFrame(FrameDirection::ToBox, payload, length);
    }

    // Counted once per call, delivered or not: it drives the progress display only.
    link.bytesSent += length;
    reportProgress(link);
    return delivered ? LINK_OK : LINK_ERR_RETRIES;
}

int receiveFrame(LinkContext& link, uint8_t* buffer, uint32_t* capacity,
                 uint16_t payloadTimeoutMs) {
    uint8_t* header = link.headerBuffer;
    for (int attempt = 0; attempt < LINK_ATTEMPTS; ++attempt) {
        uint32_t got = 0;
        if (readHeader(link, header, &got) != LINK_OK || got == 0) {
            return LINK_ERR_IO;
        }
        // Only the payload CRC decides; the reserved byte and the header CRC are not checked.
        const uint32_t announced = readU32BE(header);
        const uint32_t payloadCrc = readU32BE(header + 4);
        uint32_t wanted = announced < *capacity ? announced : *capacity;

        link.port.writeByte(LINK_ACK_HEADER);
        if (link.port.readBlock(buffer, &wanted, payloadTimeoutMs) != LINK_OK || wanted == 0) {
            return LINK_ERR_IO;
        }
        if (crc32(buffer, wanted, 0xFFFFFFFFu) == payloadCrc) {
            *capacity = wanted;
            if (link.tap != nullptr) {
                link.tap->onFrame(FrameDirection::FromBox, buffer, wanted);
            }
            link.port.writeByte(LINK_ACK_OK);
            return LINK_OK;
        }
        link.port.writeByte(LINK_NAK_CRC);
        link.framesResent += 1;
    }
    return LINK_ERR_RETRIES;
}

} // namespace kestrune
