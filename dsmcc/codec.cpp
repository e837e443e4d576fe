#include "dsmcc/codec.h"

#include "common/result_codes.h"

#include <cstring>

namespace kestrune {

namespace {

// Steps 3 and 4 of the header parse: the fields as read, the reserved byte neither checked nor
// stored, messageLength not compared with anything.
void storeHeaderFields(MessageHeaderRecord& record, const uint8_t* message) {
    record.protocolDiscriminator = message[0];
    record.dsmccType = message[1];
    record.messageId = readU16BE(message + 2);
    record.transactionId = readU32BE(message + 4);
    record.adaptationLength = message[9];
    record.messageLength = readU16BE(message + 10);
    if (record.adaptationLength != 0) {
        record.adaptationType = message[12];
        record.adaptationData = message + 13;
    }
}

const uint8_t* messageBody(const uint8_t* message) {
    return message + DSMCC_HEADER_SIZE + message[9];
}

// Judges a message before anything of it is stored: long enough for its header, the adaptation
// length first among the fields (1314), then the discriminator and type, then long enough for
// the adaptation header and `bodyFields` bytes of body.
int judgeMessage(const uint8_t* message, uint32_t length, uint32_t bodyFields) {
    if (length < DSMCC_HEADER_SIZE) {
        return DSMCC_ERR_PROTOCOL;
    }
    if (message[9] % 4 != 0) {
        return DSMCC_ERR_ADAPTATION;
    }
    if (int result = checkDiscriminatorAndType(message); result != 0) {
        return result;
    }
    if (length - DSMCC_HEADER_SIZE < message[9] + bodyFields) {
        return DSMCC_ERR_PROTOCOL;
    }
    return 0;
}

} // namespace

int checkDiscriminatorAndType(const uint8_t* message) {
    if (message[0] != DSMCC_PROTOCOL_DISCRIMINATOR) {
        return DSMCC_ERR_DISCRIMINATOR;
    }
    if (message[1] != DSMCC_TYPE_DOWNLOAD) {
        return DSMCC_ERR_TYPE;
    }
    return 0;
}

int parseMessageHeader(MessageHeaderRecord& record, const uint8_t* message, uint32_t length) {
    if (int result = judgeMessage(message, length, 0); result != 0) {
        return result;
    }
    storeHeaderFields(record, message);
    return 0;
}

int parseDownloadInfoRequest(DownloadInfoRequestRecord& record, const uint8_t* message,
                             uint32_t length) {
    // A request cut short stores nothing, so the handshake falls back on the last whole one.
    if (int result = judgeMessage(message, length, INFO_REQUEST_FIXED_BODY); result != 0) {
        return result;
    }
    storeHeaderFields(record.header, message);
    if (record.header.messageId != DSMCC_DOWNLOAD_INFO_REQUEST) {
        return DSMCC_ERR_PROTOCOL;
    }
    const uint8_t* body = messageBody(message);
    ByteReader fields(body, INFO_REQUEST_FIXED_BODY);
    record.bufferSize = fields.u32();
    record.maximumBlockSize = fields.u16();
    // bufferSize and maximumBlockSize stay stored whatever the descriptor walk finds.
    const uint32_t walked = static_cast<uint32_t>(body + 6 - message);
    return parseCompatibilityDescriptor(record.compatibility, body + 6, length - walked);
}

int parseCompatibilityDescriptor(CompatibilityValues& values, const uint8_t* p,
                                 uint32_t available) {
    if (available < 4) {
        return DSMCC_ERR_PROTOCOL;
    }
    const uint32_t length = readU16BE(p);
    const uint32_t count = readU16BE(p + 2);
    // A 16-bit position, as the descriptor lengths add up on the wire.
    uint16_t position = 4;
    bool found = false;
    // descriptorCount is not part of compatibilityDescriptorLength, hence the + 4. The bound is
    // checked only before each descriptor, so the last one walked is read whole; a descriptor
    // that the received bytes do not hold makes the message too short.
    for (uint32_t walked = 0; walked < count && position < length + 4; ++walked) {
        const uint32_t at = position;
        if (at + 2 > available) {
            return DSMCC_ERR_PROTOCOL;
        }
        const uint8_t* descriptor = p + position;
        const uint8_t type = descriptor[0];
        if ((type == 1 || type == 2) && at + 9 > available) {
            return DSMCC_ERR_PROTOCOL;
        }
        switch (type) {
        case 1:
            values.value1 = readU16BE(descriptor + 3);
            values.value4 = readU16BE(descriptor + 5);
            values.value5 = readU16BE(descriptor + 7);
            found = true;
            break;
        case 2:
            values.value1 = readU16BE(descriptor + 3);
            values.value2 = readU16BE(descriptor + 5);
            values.value3 = readU16BE(descriptor + 7);
            break;
        default:
            break;
        }
        position = static_cast<uint16_t>(position + descriptor[1] + 2);
    }
    return found ? 0 : DSMCC_ERR_COMPATIBILITY;
}

int parseDownloadDataRequest(DownloadDataRequestRecord& record, const uint8_t* message,
                             uint32_t length) {
    // Judged whole before anything is stored: a bad or short request must not leave its
    // downloadId (or part of one) in the record beside an earlier request's other fields.
    if (int result = judgeMessage(message, length, DATA_REQUEST_BODY); result != 0) {
        return result;
    }
    storeHeaderFields(record.header, message);
    // The messageId is not checked: the data serving judges the request by its downloadId and
    // downloadReason.
    const uint8_t* body = messageBody(message);
    ByteReader fields(body, DATA_REQUEST_BODY);
    record.moduleId = fields.u16();
    record.blockNumber = fields.u16();
    record.downloadReason = fields.u8();
    return 0;
}

int initResponseHeader(DownloadInfoResponse& response) {
    response.header.protocolDiscriminator = DSMCC_PROTOCOL_DISCRIMINATOR;
    response.header.dsmccType = DSMCC_TYPE_DOWNLOAD;
    response.header.messageId = DSMCC_DOWNLOAD_INFO_RESPONSE;
    response.header.adaptationLength = 0;
    return 0;
}

uint32_t buildMessageHeader(const MessageHeaderRecord& record, uint8_t* out) {
    out[0] = DSMCC_PROTOCOL_DISCRIMINATOR;
    out[1] = DSMCC_TYPE_DOWNLOAD;
    writeU16BE(record.messageId, out + 2);
    writeU32BE(record.transactionId, out + 4);
    out[8] = 0xFF;
    out[9] = record.adaptationLength;
    writeU16BE(record.messageLength, out + 10);
    if (record.adaptationLength != 0) {
        out[12] = record.adaptationType;
        const uint32_t dataLength = record.adaptationLength - 1u;
        if (record.adaptationData != nullptr) {
            std::memcpy(out + 13, record.adaptationData, dataLength);
        } else {
            std::memset(out + 13, 0, dataLength);
        }
    }
    return 12u + record.adaptationLength;
}

uint16_t buildDownloadInfoResponse(DownloadInfoResponse& response, uint8_t* out) {
    response.header.adaptationLength = 0;
    response.header.messageId = DSMCC_DOWNLOAD_INFO_RESPONSE;
    uint8_t* p = out + buildMessageHeader(response.header, out);

    // A record holds at most 50 rows and 1024 private bytes; never read past them.
    const uint16_t modules =
        response.numberOfModules < MAX_MODULES ? response.numberOfModules : MAX_MODULES;
    const uint16_t privateLength = response.privateDataLength < MAX_PRIVATE_DATA
                                       ? response.privateDataLength
                                       : static_cast<uint16_t>(MAX_PRIVATE_DATA);

    writeU32BE(response.downloadId, p);
    writeU16BE(response.blockSize, p + 4);
    p[6] = response.windowSize;
    p[7] = response.ackPeriod;
    writeU32BE(response.tCDownloadWindow, p + 8);
    writeU32BE(response.tCDownloadScenario, p + 12);
    writeU16BE(0, p + 16); // an empty compatibilityDescriptor: no descriptorCount follows
    writeU16BE(modules, p + 18);
    p += 20;

    uint32_t moduleBytes = 0;
    for (uint16_t i = 0; i < modules; ++i) {
        const ModuleEntry& row = response.modules[i];
        writeU16BE(row.moduleId, p);
        writeU32BE(row.moduleSize, p + 2);
        p[6] = row.moduleVersion;
        p[7] = row.moduleInfoLength;
        std::memcpy(p + 8, row.moduleInfo, row.moduleInfoLength);
        p += 8 + row.moduleInfoLength;
        moduleBytes += 8u + row.moduleInfoLength;
    }

    writeU16BE(privateLength, p);
    std::memcpy(p + 2, response.privateData, privateLength);

    // adaptationLength (0) + the fixed body fields + the module entries + privateDataLength and
    // its bytes; filled in once the body is known. At most 14196 for a full record.
    const auto messageLength = static_cast<uint16_t>(20 + moduleBytes + 2 + privateLength);
    writeU16BE(messageLength, out + 10);
    return static_cast<uint16_t>(12 + messageLength);
}

void buildDownloadDataBlockHeader(uint8_t* out, uint32_t downloadId, uint16_t moduleId,
                                  uint8_t moduleVersion, uint16_t blockNumber,
                                  uint16_t dataLength) {
    out[0] = DSMCC_PROTOCOL_DISCRIMINATOR;
    out[1] = DSMCC_TYPE_DOWNLOAD;
    writeU16BE(DSMCC_DOWNLOAD_DATA_BLOCK, out + 2);
    writeU32BE(downloadId, out + 4);
    out[8] = 0xFF;
    out[9] = 0;
    // n + 10, as the box expects (not n + 6, the bytes after this field).
    writeU16BE(static_cast<uint16_t>(dataLength + 10), out + 10);
    writeU16BE(moduleId, out + 12);
    out[14] = moduleVersion;
    out[15] = 0xFF;
    writeU16BE(blockNumber, out + 16);
}

} // namespace kestrune
