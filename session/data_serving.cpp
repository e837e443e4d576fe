#include "dsmcc/codec.h"
#include "session/session.h"
#include "session/session_log.h"

#include <cstring>

namespace kestrune {
namespace {

// The record never holds more than 50 rows, whatever numberOfModules claims.
uint16_t servedModules(const DownloadInfoResponse& response) {
    return response.numberOfModules < MAX_MODULES ? response.numberOfModules
                                                  : static_cast<uint16_t>(MAX_MODULES);
}

} // namespace

int receiveDataRequest(SessionContext& ctx) {
    uint32_t capacity = FRAME_BUFFER_SIZE;
    const int received =
        receiveFrame(ctx.link, ctx.frameBuffer, &capacity, SESSION_DATA_REQUEST_TIMEOUT_MS);
    if (received != LINK_OK) {
        return received;
    }
    return parseDownloadDataRequest(ctx.dataRequest, ctx.frameBuffer);
}

int applyDataRequest(SessionContext& ctx) {
    const DownloadDataRequestRecord& request = ctx.dataRequest;
    ServingPosition& position = ctx.position;
    position.currentModule = request.moduleId;
    position.nextBlockNumber = request.blockNumber;
    // Serve the block the request names, so that every block's data match its moduleId and
    // blockNumber, a repeated request included. A position past the module's end is left
    // there: nextDataBlock then treats the module as exhausted.
    const uint64_t offset = static_cast<uint64_t>(request.blockNumber) * ctx.response.blockSize;
    position.moduleOffset = offset < UINT32_MAX ? static_cast<uint32_t>(offset) : UINT32_MAX;
    return 0;
}

uint32_t nextDataBlock(SessionContext& ctx) {
    const DownloadInfoResponse& response = ctx.response;
    ServingPosition& position = ctx.position;
    const uint16_t modules = servedModules(response);

    // After the last block of a window the server always waits for a request, even when that
    // block ended a module or the whole image.
    if (position.windowCount == response.windowSize) {
        position.windowCount = 0;
        return 0;
    }
    if (position.currentModule >= modules) {
        return 0;
    }
    if (position.moduleOffset >= response.modules[position.currentModule].moduleSize) {
        // Moves on by one module and does not look at the new module's size: an empty module
        // reached this way is sent as one block without data.
        position.currentModule += 1;
        position.nextBlockNumber = 0;
        if (position.currentModule >= modules) {
            return 0;
        }
        position.moduleOffset = 0;
    }

    const ModuleEntry& row = response.modules[position.currentModule];
    const uint32_t left = row.moduleSize - position.moduleOffset;
    const uint32_t n = response.blockSize < left ? response.blockSize : left;

    buildDownloadDataBlockHeader(ctx.frameBuffer, response.downloadId, position.currentModule,
                                 row.moduleVersion, position.nextBlockNumber,
                                 static_cast<uint16_t>(n));
    if (n != 0) {
        // The one copy of the module data: from the image's mapping into the frame.
        std::memcpy(ctx.frameBuffer + DATA_BLOCK_HEADER_SIZE,
                    row.moduleData + position.moduleOffset, n);
    }

    position.moduleOffset += n;
    position.windowCount += 1;
    position.nextBlockNumber = static_cast<uint16_t>(position.nextBlockNumber + 1);
    return n + DATA_BLOCK_HEADER_SIZE;
}

int serveDataBlocks(SessionContext& ctx) {
    const DownloadInfoResponse& response = ctx.response;
    const DownloadDataRequestRecord& request = ctx.dataRequest;
    ctx.position = ServingPosition{};

    // A failed receive leaves an earlier request (or zeros) in the record, whose downloadId is
    // not the current one: the tests below then end the phase with 1315.
    receiveDataRequest(ctx);
    if (response.downloadId == 0 || request.header.transactionId != response.downloadId ||
        request.downloadReason != DOWNLOAD_REASON_START) {
        return DSMCC_ERR_PROTOCOL;
    }
    applyDataRequest(ctx);

    for (;;) {
        for (uint32_t length = nextDataBlock(ctx); length != 0; length = nextDataBlock(ctx)) {
            ctx.link.pauser.pause(SESSION_BLOCK_PAUSE_MS);
            const int sent = sendFrame(ctx.link, ctx.frameBuffer, length);
            logNumber(ctx.link.reporter, "",
                      static_cast<uint16_t>(ctx.position.nextBlockNumber - 1), " ");
            logNumber(ctx.link.reporter, "", ctx.position.currentModule, " ");
            logNumber(ctx.link.reporter, "", sent, "\n");
            if (sent != LINK_OK) {
                return sent;
            }
        }

        if (const int received = receiveDataRequest(ctx); received != 0) {
            return received;
        }
        if (request.header.transactionId != response.downloadId) {
            return DSMCC_ERR_PROTOCOL;
        }
        if (request.downloadReason == DOWNLOAD_REASON_COMPLETE) {
            return 0;
        }
        if (request.downloadReason != DOWNLOAD_REASON_ACK) {
            return DSMCC_ERR_PROTOCOL;
        }
        applyDataRequest(ctx);
    }
}

} // namespace kestrune
