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
    // Only the bytes of this frame: the rest of the buffer holds the last block sent.
    return parseDownloadDataRequest(ctx.dataRequest, ctx.frameBuffer, capacity);
}

namespace {

constexpr uint64_t BLOCK_NUMBERS = 65536; // blockNumber is 16 bits wide

// Where the module stands, in blocks: the serving position for the module being served, else
// how far the box has acknowledged it.
uint64_t moduleStanding(const SessionContext& ctx, uint16_t module, uint32_t blockSize) {
    const uint32_t offset = module == ctx.position.currentModule
                                ? ctx.position.moduleOffset
                                : ctx.delivery.acknowledged[module];
    return (static_cast<uint64_t>(offset) + blockSize - 1) / blockSize;
}

} // namespace

int applyDataRequest(SessionContext& ctx) {
    const DownloadDataRequestRecord& request = ctx.dataRequest;
    const DownloadInfoResponse& response = ctx.response;
    ServingPosition& position = ctx.position;

    // Every request starts a new window, also after one that ended because the image ran out.
    position.windowCount = 0;
    const uint16_t module = request.moduleId;
    const uint16_t modules = servedModules(response);
    uint32_t offset = 0;
    if (module < modules && response.blockSize != 0) {
        const uint32_t blockSize = response.blockSize;
        const uint32_t size = response.modules[module].moduleSize;
        const uint64_t blocks = (static_cast<uint64_t>(size) + blockSize - 1) / blockSize;
        const uint64_t standing = moduleStanding(ctx, module, blockSize);

        // The nearest block numbers congruent to the request's at or before where the module
        // stands (`back` blocks back) and after it; the position just past the last block (the
        // next block of a finished module) counts as one of the candidates. The unsigned
        // arithmetic wraps, so `ahead` is exact even when the block before does not exist.
        const uint64_t back = (standing - request.blockNumber) % BLOCK_NUMBERS;
        uint64_t best = UINT64_MAX;
        if (back <= standing) {
            best = standing - back;
        }
        const uint64_t ahead = standing - back + BLOCK_NUMBERS;
        if (back != 0 && ahead <= blocks && (best == UINT64_MAX || ahead - standing < back)) {
            best = ahead;
        }
        // No such block at all: the module counts as exhausted.
        const uint64_t bytes = best == UINT64_MAX ? size : best * blockSize;
        offset = bytes < size ? static_cast<uint32_t>(bytes) : size;
    }
    // A different module is served from where the request puts it, not from an old offset.
    position.currentModule = module;
    position.nextBlockNumber = request.blockNumber;
    position.moduleOffset = offset;
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

namespace {

// A block the box acknowledged: it extends the module's extent when it starts inside it.
void noteAcknowledged(SessionContext& ctx, uint16_t module, uint32_t start, uint32_t length) {
    if (module >= MAX_MODULES) {
        return;
    }
    uint32_t& extent = ctx.delivery.acknowledged[module];
    if (start <= extent && start + length > extent) {
        extent = start + length;
    }
}

} // namespace

uint64_t servedModuleBytes(const DownloadInfoResponse& response) {
    uint64_t total = 0;
    for (uint16_t i = 0; i < servedModules(response); ++i) {
        total += response.modules[i].moduleSize;
    }
    return total;
}

uint64_t deliveredModuleBytes(const SessionContext& ctx) {
    uint64_t total = 0;
    for (uint16_t i = 0; i < servedModules(ctx.response); ++i) {
        const uint32_t size = ctx.response.modules[i].moduleSize;
        const uint32_t extent = ctx.delivery.acknowledged[i];
        total += extent < size ? extent : size;
    }
    return total;
}

int serveDataBlocks(SessionContext& ctx) {
    const DownloadInfoResponse& response = ctx.response;
    const DownloadDataRequestRecord& request = ctx.dataRequest;
    ctx.position = ServingPosition{};
    ctx.delivery = ModuleDelivery{};

    // A first request that did not arrive or does not parse ends the phase with its own code:
    // the record may hold an earlier request, which must never be taken for this one.
    if (const int received = receiveDataRequest(ctx); received != 0) {
        return received;
    }
    if (response.downloadId == 0 || request.header.transactionId != response.downloadId ||
        request.downloadReason != DOWNLOAD_REASON_START) {
        return DSMCC_ERR_PROTOCOL;
    }
    applyDataRequest(ctx);

    for (;;) {
        for (uint32_t length = nextDataBlock(ctx); length != 0; length = nextDataBlock(ctx)) {
            ctx.link.pauser.pause(SESSION_BLOCK_PAUSE_MS);
            const int sent = sendFrame(ctx.link, ctx.frameBuffer, length);
            const ServingPosition& position = ctx.position;
            if (sent == LINK_OK) {
                const uint32_t data = length - DATA_BLOCK_HEADER_SIZE;
                noteAcknowledged(ctx, position.currentModule, position.moduleOffset - data, data);
            }
            logNumber(ctx.reporter, "", static_cast<uint16_t>(position.nextBlockNumber - 1), " ");
            logNumber(ctx.reporter, "", position.currentModule, " ");
            logNumber(ctx.reporter, "", sent, "\n");
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
