#pragma once

#include "common/byte_order.h"
#include "dsmcc/records.h"

#include <cstdint>

namespace kestrune {

// The parsers read only the `length` bytes the box sent: a message shorter than its own fields
// (the 12-byte header, the adaptation header and the message's fields) is DSMCC_ERR_PROTOCOL,
// and nothing past `length` is ever read. A parser that fails stores nothing it has not judged.
int parseMessageHeader(MessageHeaderRecord& record, const uint8_t* message, uint32_t length);
// Reads the first two bytes of the message.
int checkDiscriminatorAndType(const uint8_t* message);
int parseDownloadInfoRequest(DownloadInfoRequestRecord& record, const uint8_t* message,
                             uint32_t length);
// `p` is the position of compatibilityDescriptorLength and `available` the bytes received from
// there on; a descriptor that reaches past them is DSMCC_ERR_PROTOCOL.
int parseCompatibilityDescriptor(CompatibilityValues& values, const uint8_t* p, uint32_t available);
int parseDownloadDataRequest(DownloadDataRequestRecord& record, const uint8_t* message,
                             uint32_t length);

// Fixed lengths of the request messages: the header, then the body fields up to and including
// descriptorCount (DownloadInfoRequest) or downloadReason (DownloadDataRequest).
constexpr uint32_t DSMCC_HEADER_SIZE = 12;
constexpr uint32_t INFO_REQUEST_FIXED_BODY = 10;
constexpr uint32_t DATA_REQUEST_BODY = 5;

int initResponseHeader(DownloadInfoResponse& response);
uint32_t buildMessageHeader(const MessageHeaderRecord& record, uint8_t* out);
uint16_t buildDownloadInfoResponse(DownloadInfoResponse& response, uint8_t* out);

// DownloadDataBlock: 18 header bytes, then the block's data.
constexpr uint32_t DATA_BLOCK_HEADER_SIZE = 18;
// Writes the 18-byte block header; messageLength is dataLength + 10.
void buildDownloadDataBlockHeader(uint8_t* out, uint32_t downloadId, uint16_t moduleId,
                                  uint8_t moduleVersion, uint16_t blockNumber, uint16_t dataLength);

} // namespace kestrune
