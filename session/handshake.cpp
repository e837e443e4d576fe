#include "dsmcc/codec.h"
#include "session/session.h"

namespace kestrune {

int receiveInfoRequest(SessionContext& ctx) {
    uint32_t capacity = FRAME_BUFFER_SIZE;
    ctx.infoRequestLength = 0;
    const int received =
        receiveFrame(ctx.link, ctx.frameBuffer, &capacity, SESSION_INFO_REQUEST_TIMEOUT_MS);
    if (received != LINK_OK) {
        return received;
    }
    ctx.infoRequestLength = capacity;
    // Only the bytes of this frame; a request cut short leaves the record as the last whole one
    // left it.
    return parseDownloadInfoRequest(ctx.infoRequest, ctx.frameBuffer, capacity);
}

int sendInfoResponse(SessionContext& ctx) {
    const DownloadInfoRequestRecord& request = ctx.infoRequest;
    DownloadInfoResponse& response = ctx.response;

    // Every handshake takes a new id, so a data phase only accepts requests of its own.
    response.downloadId += 1;
    if (response.downloadId == 0) {
        response.downloadId = 1;
    }

    uint32_t blockSize = 0;
    uint32_t windowSize = 1;
    if (request.bufferSize != 0) {
        blockSize = request.maximumBlockSize != 0 ? request.maximumBlockSize
                                                  : (request.bufferSize < SESSION_DEFAULT_BLOCK_SIZE
                                                         ? request.bufferSize
                                                         : SESSION_DEFAULT_BLOCK_SIZE);
        // A block message must fit a frame: 18 header bytes + at most 65517 data bytes.
        if (blockSize > SESSION_MAX_BLOCK_SIZE) {
            blockSize = SESSION_MAX_BLOCK_SIZE;
        }
        // The low 8 bits of the quotient, not the quotient limited to 255.
        windowSize = (request.bufferSize / blockSize) & 0xFFu;
        if (windowSize == 0) {
            windowSize = 1;
        }
    } else {
        blockSize =
            request.maximumBlockSize != 0 ? request.maximumBlockSize : SESSION_DEFAULT_BLOCK_SIZE;
        if (blockSize > SESSION_MAX_BLOCK_SIZE) {
            blockSize = SESSION_MAX_BLOCK_SIZE;
        }
    }
    response.blockSize = static_cast<uint16_t>(blockSize);
    response.windowSize = static_cast<uint8_t>(windowSize);
    response.ackPeriod = response.windowSize;
    response.tCDownloadWindow = SESSION_DOWNLOAD_WINDOW_MS;
    response.tCDownloadScenario = SESSION_DOWNLOAD_SCENARIO_MS;

    initResponseHeader(response);
    const uint16_t length = buildDownloadInfoResponse(response, ctx.frameBuffer);
    return sendFrame(ctx.link, ctx.frameBuffer, length);
}

} // namespace kestrune
