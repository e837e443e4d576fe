#pragma once

#include "dsmcc/records.h"

#include <cstdint>

namespace kestrune {

uint16_t readU16BE(const uint8_t* p);
uint32_t readU32BE(const uint8_t* p);
void writeU16BE(uint16_t value, uint8_t* p);
void writeU32BE(uint32_t value, uint8_t* p);

// The parsers read as far as the message's own length fields say; `message` must be the
// start of a FRAME_BUFFER_SIZE buffer (every reachable position lies below 65900).
int parseMessageHeader(MessageHeaderRecord& record, const uint8_t* message);
int checkDiscriminatorAndType(const uint8_t* message);
int parseDownloadInfoRequest(DownloadInfoRequestRecord& record, const uint8_t* message);
// `p` is the position of compatibilityDescriptorLength.
int parseCompatibilityDescriptor(CompatibilityValues& values, const uint8_t* p);
int parseDownloadDataRequest(DownloadDataRequestRecord& record, const uint8_t* message);

int initResponseHeader(DownloadInfoResponse& response);
uint32_t buildMessageHeader(const MessageHeaderRecord& record, uint8_t* out);
uint16_t buildDownloadInfoResponse(DownloadInfoResponse& response, uint8_t* out);

// DownloadDataBlock: 18 header bytes, then the block's data.
constexpr uint32_t DATA_BLOCK_HEADER_SIZE = 18;
// Writes the 18-byte block header; messageLength is dataLength + 10.
void buildDownloadDataBlockHeader(uint8_t* out, uint32_t downloadId, uint16_t moduleId,
                                  uint8_t moduleVersion, uint16_t blockNumber, uint16_t dataLength);

} // namespace kestrune
