#pragma once

#include <cstdint>

namespace kestrune {

constexpr uint8_t DSMCC_PROTOCOL_DISCRIMINATOR = 0x11;
constexpr uint8_t DSMCC_TYPE_DOWNLOAD = 3;
constexpr uint16_t DSMCC_DOWNLOAD_INFO_REQUEST = 0x1001;
constexpr uint16_t DSMCC_DOWNLOAD_INFO_RESPONSE = 0x1002;
constexpr uint16_t DSMCC_DOWNLOAD_DATA_BLOCK = 0x1003;
constexpr uint16_t DSMCC_DOWNLOAD_DATA_REQUEST = 0x1004;

constexpr int MAX_MODULES = 50;
constexpr int MAX_MODULE_INFO = 256;
constexpr int MAX_PRIVATE_DATA = 1024;
constexpr uint32_t FRAME_BUFFER_SIZE = 131072; // every frame of a session is received into it

struct MessageHeaderRecord {
    uint8_t protocolDiscriminator;
    uint8_t dsmccType;
    uint16_t messageId;
    uint32_t transactionId;
    uint8_t reserved;
    uint8_t adaptationLength;
    uint16_t messageLength;
    uint8_t adaptationType;
    const uint8_t* adaptationData; // points into the frame buffer: valid until the next frame
};

// (1) bytes 3-4 of the last type-1 or type-2 descriptor walked; (2), (3) bytes 5-6 and 7-8 of
// the last type-2 descriptor; (4), (5) bytes 5-6 and 7-8 of the last type-1 descriptor.
struct CompatibilityValues {
    uint16_t value1;
    uint16_t value2;
    uint16_t value3;
    uint16_t value4;
    uint16_t value5;
};

struct DownloadInfoRequestRecord {
    MessageHeaderRecord header;
    uint32_t bufferSize;
    uint16_t maximumBlockSize;
    CompatibilityValues compatibility;
};

struct DownloadDataRequestRecord {
    MessageHeaderRecord header;
    uint16_t moduleId;
    uint16_t blockNumber;
    uint8_t downloadReason;
};

struct ModuleEntry {
    uint16_t moduleId;
    uint32_t moduleSize;
    uint8_t moduleVersion;
    uint8_t moduleInfoLength;
    uint8_t moduleInfo[MAX_MODULE_INFO];
    const uint8_t* moduleData; // inside the read-only mapping of the image file
};

struct DownloadInfoResponse {
    MessageHeaderRecord header;
    uint32_t downloadId;
    uint16_t blockSize;
    uint8_t windowSize;
    uint8_t ackPeriod;
    uint32_t tCDownloadWindow;
    uint32_t tCDownloadScenario;
    CompatibilityValues compatibility;
    uint16_t numberOfModules;
    ModuleEntry modules[MAX_MODULES];
    uint16_t privateDataLength;
    uint8_t privateData[MAX_PRIVATE_DATA];
};

} // namespace kestrune
