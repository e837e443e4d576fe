#include "common/result_codes.h"
#include "dsmcc/codec.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <vector>

using namespace kestrune;

namespace {

// The farthest byte a parser may touch lies below this.
constexpr size_t PARSER_REACH = 65900;

// A zeroed frame buffer with a message header at its start.
struct Frame {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(FRAME_BUFFER_SIZE, 0);

    Frame(uint16_t messageId, uint8_t adaptationLength = 0) {
        bytes[0] = 0x11;
        bytes[1] = 3;
        writeU16BE(messageId, &bytes[2]);
        writeU32BE(0xA1B2C3D4, &bytes[4]);
        bytes[8] = 0xFF;
        bytes[9] = adaptationLength;
        writeU16BE(0x0123, &bytes[10]);
    }
    uint8_t* body() { return &bytes[12 + bytes[9]]; }
    const uint8_t* data() const { return bytes.data(); }
    uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }
};

// A DownloadInfoRequest body: bufferSize, maximumBlockSize, then the compatibilityDescriptor.
void putInfoRequestBody(Frame& frame, uint32_t bufferSize, uint16_t maximumBlockSize,
                        uint16_t compatibilityLength, uint16_t descriptorCount,
                        const std::vector<uint8_t>& descriptors) {
    uint8_t* body = frame.body();
    writeU32BE(bufferSize, body);
    writeU16BE(maximumBlockSize, body + 4);
    writeU16BE(compatibilityLength, body + 6);
    writeU16BE(descriptorCount, body + 8);
    if (!descriptors.empty()) {
        std::memcpy(body + 10, descriptors.data(), descriptors.size());
    }
}

// descriptorType, descriptorLength 7, then bytes 2..8 with the values at 3-4, 5-6 and 7-8.
std::vector<uint8_t> descriptor(uint8_t type, uint16_t a, uint16_t b, uint16_t c) {
    return {type,       7,
            0xEE,       uint8_t(a >> 8),
            uint8_t(a), uint8_t(b >> 8),
            uint8_t(b), uint8_t(c >> 8),
            uint8_t(c)};
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

} // namespace

TEST(BigEndian, ReadsAndWritesMostSignificantByteFirst) {
    uint8_t bytes[4] = {};
    writeU32BE(0x80010203, bytes);
    EXPECT_EQ(bytes[0], 0x80);
    EXPECT_EQ(bytes[3], 0x03);
    EXPECT_EQ(readU32BE(bytes), 0x80010203u);
    writeU16BE(0xFE01, bytes);
    EXPECT_EQ(bytes[0], 0xFE);
    EXPECT_EQ(bytes[1], 0x01);
    EXPECT_EQ(readU16BE(bytes), 0xFE01);
}

TEST(MessageHeader, AdaptationLengthIsJudgedBeforeEverythingElse) {
    Frame frame(0x1001, 3);
    frame.bytes[0] = 0x12;
    frame.bytes[1] = 9;
    MessageHeaderRecord record{};
    record.messageId = 0x7777;
    EXPECT_EQ(parseMessageHeader(record, frame.data(), frame.size()), DSMCC_ERR_ADAPTATION);
    EXPECT_EQ(record.messageId, 0x7777); // nothing stored

    frame.bytes[9] = 0;
    EXPECT_EQ(parseMessageHeader(record, frame.data(), frame.size()), DSMCC_ERR_DISCRIMINATOR);
    frame.bytes[0] = 0x11;
    EXPECT_EQ(parseMessageHeader(record, frame.data(), frame.size()), DSMCC_ERR_TYPE);
    EXPECT_EQ(record.messageId, 0x7777);
    EXPECT_EQ(checkDiscriminatorAndType(frame.data()), DSMCC_ERR_TYPE);
    frame.bytes[1] = 3;
    EXPECT_EQ(checkDiscriminatorAndType(frame.data()), 0);
}

TEST(MessageHeader, StoresFieldsAndKeepsAdaptationWhenAbsent) {
    Frame frame(0x1004, 8);
    frame.bytes[8] = 0x5A; // reserved: neither checked nor stored
    frame.bytes[12] = 0x42;
    MessageHeaderRecord record{};
    record.reserved = 0x99;
    ASSERT_EQ(parseMessageHeader(record, frame.data(), frame.size()), 0);
    EXPECT_EQ(record.protocolDiscriminator, 0x11);
    EXPECT_EQ(record.dsmccType, 3);
    EXPECT_EQ(record.messageId, 0x1004);
    EXPECT_EQ(record.transactionId, 0xA1B2C3D4u);
    EXPECT_EQ(record.reserved, 0x99);
    EXPECT_EQ(record.adaptationLength, 8);
    EXPECT_EQ(record.messageLength, 0x0123);
    EXPECT_EQ(record.adaptationType, 0x42);
    EXPECT_EQ(record.adaptationData, frame.data() + 13);

    Frame plain(0x1001);
    ASSERT_EQ(parseMessageHeader(record, plain.data(), plain.size()), 0);
    EXPECT_EQ(record.adaptationLength, 0);
    EXPECT_EQ(record.adaptationType, 0x42);              // earlier value kept
    EXPECT_EQ(record.adaptationData, frame.data() + 13); // earlier value kept
}

TEST(DownloadInfoRequest, AdaptationHeaderMovesTheBody) {
    Frame frame(0x1001, 4);
    frame.bytes[12] = 0x07;
    putInfoRequestBody(frame, 0x00010000, 4066, 9, 1, descriptor(1, 0x0102, 0x0304, 0x0506));
    ASSERT_EQ(frame.body(), frame.data() + 16);
    DownloadInfoRequestRecord record{};
    ASSERT_EQ(parseDownloadInfoRequest(record, frame.data(), frame.size()), 0);
    EXPECT_EQ(record.header.adaptationType, 0x07);
    EXPECT_EQ(record.bufferSize, 0x00010000u);
    EXPECT_EQ(record.maximumBlockSize, 4066);
    EXPECT_EQ(record.compatibility.value1, 0x0102);
    EXPECT_EQ(record.compatibility.value4, 0x0304);
    EXPECT_EQ(record.compatibility.value5, 0x0506);
}

TEST(DownloadInfoRequest, RejectsOtherMessageIds) {
    Frame frame(0x1004);
    putInfoRequestBody(frame, 1, 2, 9, 1, descriptor(1, 1, 2, 3));
    DownloadInfoRequestRecord record{};
    EXPECT_EQ(parseDownloadInfoRequest(record, frame.data(), frame.size()), DSMCC_ERR_PROTOCOL);
    EXPECT_EQ(record.header.messageId, 0x1004); // the header stays stored
    EXPECT_EQ(record.bufferSize, 0u);

    Frame wrongType(0x1001);
    wrongType.bytes[1] = 4;
    EXPECT_EQ(parseDownloadInfoRequest(record, wrongType.data(), wrongType.size()), DSMCC_ERR_TYPE);
}

TEST(DownloadInfoRequest, NoDescriptorsGivesCompatibilityErrorButKeepsSizes) {
    Frame frame(0x1001);
    putInfoRequestBody(frame, 0xDEADBEEF, 0x1000, 0, 0, {});
    DownloadInfoRequestRecord record{};
    EXPECT_EQ(parseDownloadInfoRequest(record, frame.data(), frame.size()),
              DSMCC_ERR_COMPATIBILITY);
    EXPECT_EQ(record.bufferSize, 0xDEADBEEFu);
    EXPECT_EQ(record.maximumBlockSize, 0x1000);

    // Only a type-2 descriptor: still no type 1.
    Frame onlyType2(0x1001);
    putInfoRequestBody(onlyType2, 1, 1, 9, 1, descriptor(2, 0x11, 0x22, 0x33));
    EXPECT_EQ(parseDownloadInfoRequest(record, onlyType2.data(), onlyType2.size()),
              DSMCC_ERR_COMPATIBILITY);
    EXPECT_EQ(record.compatibility.value1, 0x11);
    EXPECT_EQ(record.compatibility.value2, 0x22);
    EXPECT_EQ(record.compatibility.value3, 0x33);
}

TEST(CompatibilityDescriptor, LastDescriptorOfEachTypeWins) {
    const auto walk = concat({descriptor(1, 0x0A, 0x0B, 0x0C),
                              descriptor(2, 0x1A, 0x1B, 0x1C),
                              descriptor(1, 0x2A, 0x2B, 0x2C),
                              {0x55, 1, 0xFF},
                              descriptor(2, 0x3A, 0x3B, 0x3C)});
    std::vector<uint8_t> bytes(4 + walk.size() + 16, 0);
    writeU16BE(static_cast<uint16_t>(walk.size()), &bytes[0]);
    writeU16BE(5, &bytes[2]);
    std::memcpy(&bytes[4], walk.data(), walk.size());
    CompatibilityValues values{};
    ASSERT_EQ(
        parseCompatibilityDescriptor(values, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    EXPECT_EQ(values.value1, 0x3A); // the last type 1 or 2 walked
    EXPECT_EQ(values.value2, 0x3B);
    EXPECT_EQ(values.value3, 0x3C);
    EXPECT_EQ(values.value4, 0x2B); // the second type-1 descriptor
    EXPECT_EQ(values.value5, 0x2C);
}

TEST(CompatibilityDescriptor, LengthAndCountBoundTheWalk) {
    const auto walk = concat({descriptor(1, 0x0A, 0x0B, 0x0C), descriptor(1, 0x2A, 0x2B, 0x2C)});
    std::vector<uint8_t> bytes(64, 0);
    std::memcpy(&bytes[4], walk.data(), walk.size());
    CompatibilityValues values{};

    // A length that ends inside the first descriptor: it is still read whole, the second is not.
    writeU16BE(5, &bytes[0]);
    writeU16BE(2, &bytes[2]);
    ASSERT_EQ(
        parseCompatibilityDescriptor(values, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    EXPECT_EQ(values.value1, 0x0A);
    EXPECT_EQ(values.value5, 0x0C);

    // A length that ends one byte into the second descriptor: both are walked.
    writeU16BE(10, &bytes[0]);
    ASSERT_EQ(
        parseCompatibilityDescriptor(values, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    EXPECT_EQ(values.value5, 0x2C);

    // descriptorCount 1 stops after the first whatever the length.
    values = {};
    writeU16BE(18, &bytes[0]);
    writeU16BE(1, &bytes[2]);
    ASSERT_EQ(
        parseCompatibilityDescriptor(values, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    EXPECT_EQ(values.value4, 0x0B);

    // Length 0: nothing is walked.
    writeU16BE(0, &bytes[0]);
    writeU16BE(2, &bytes[2]);
    EXPECT_EQ(
        parseCompatibilityDescriptor(values, bytes.data(), static_cast<uint32_t>(bytes.size())),
        DSMCC_ERR_COMPATIBILITY);
}

TEST(DownloadDataRequest, ParsedWhateverItsMessageId) {
    Frame frame(0x1001);
    writeU16BE(0x0007, frame.body());
    writeU16BE(0x0102, frame.body() + 2);
    frame.body()[4] = 2;
    DownloadDataRequestRecord record{};
    ASSERT_EQ(parseDownloadDataRequest(record, frame.data(), frame.size()), 0);
    EXPECT_EQ(record.header.messageId, 0x1001);
    EXPECT_EQ(record.header.transactionId, 0xA1B2C3D4u);
    EXPECT_EQ(record.moduleId, 7);
    EXPECT_EQ(record.blockNumber, 0x0102);
    EXPECT_EQ(record.downloadReason, 2);
}

TEST(DownloadDataRequest, JudgesTheWholeHeaderBeforeStoringAnything) {
    Frame frame(0x1004, 2);
    frame.bytes[0] = 0x12;
    DownloadDataRequestRecord record{};
    EXPECT_EQ(parseDownloadDataRequest(record, frame.data(), frame.size()), DSMCC_ERR_ADAPTATION);
    EXPECT_EQ(record.header.messageId, 0); // nothing stored yet

    frame.bytes[9] = 4;
    frame.bytes[12] = 0x33;
    writeU16BE(9, frame.body());
    frame.body()[4] = 5;
    // A bad discriminator with a downloadId that would be right: nothing of it may stay in the
    // record, or a later look at the record would take it for a request.
    EXPECT_EQ(parseDownloadDataRequest(record, frame.data(), frame.size()),
              DSMCC_ERR_DISCRIMINATOR);
    EXPECT_EQ(record.header.messageId, 0);
    EXPECT_EQ(record.header.transactionId, 0u);
    EXPECT_EQ(record.header.adaptationType, 0);
    EXPECT_EQ(record.downloadReason, 0);

    frame.bytes[0] = 0x11;
    frame.bytes[1] = 0;
    EXPECT_EQ(parseDownloadDataRequest(record, frame.data(), frame.size()), DSMCC_ERR_TYPE);
    EXPECT_EQ(record.header.transactionId, 0u);
    frame.bytes[1] = 3;
    ASSERT_EQ(parseDownloadDataRequest(record, frame.data(), frame.size()), 0);
    EXPECT_EQ(record.header.transactionId, 0xA1B2C3D4u);
    EXPECT_EQ(record.header.adaptationType, 0x33);
    EXPECT_EQ(record.moduleId, 9); // body after the 4-byte adaptation header
    EXPECT_EQ(record.downloadReason, 5);
}

namespace {

// A message cut to `length` bytes in a heap block of exactly that size: the sanitizer reports
// any read past the bytes received.
struct Received {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t length;
    Received(const std::vector<uint8_t>& message, uint32_t n)
        : bytes(new uint8_t[n == 0 ? 1 : n]), length(n) {
        if (!message.empty()) {
            std::memcpy(bytes.get(), message.data(), std::min<size_t>(n, message.size()));
        }
    }
};

std::vector<uint8_t> dataRequestBytes(uint8_t adaptationLength, uint8_t reason) {
    Frame frame(0x1004, adaptationLength);
    writeU32BE(7, &frame.bytes[4]);
    writeU16BE(0x0500, frame.body() + 2);
    frame.body()[4] = reason;
    return std::vector<uint8_t>(frame.bytes.begin(),
                                frame.bytes.begin() + 12 + adaptationLength + 5);
}

std::vector<uint8_t> infoRequestBytes(const std::vector<uint8_t>& descriptors, uint16_t count) {
    Frame frame(0x1001);
    putInfoRequestBody(frame, 0x10000, 1024, static_cast<uint16_t>(descriptors.size()), count,
                       descriptors);
    return std::vector<uint8_t>(frame.bytes.begin(), frame.bytes.begin() + 22 + descriptors.size());
}

} // namespace

TEST(Parsers, ReadOnlyTheBytesReceived) {
    enum Parser { HEADER, INFO, DATA };
    struct Case {
        const char* name;
        Parser parser;
        std::vector<uint8_t> message;
        uint32_t length;
        int expected;
    };
    const std::vector<uint8_t> typeOne = descriptor(1, 0x0102, 0x0304, 0x0506);
    const std::vector<uint8_t> countingTwo = [&] {
        auto m = infoRequestBytes(typeOne, 2);
        writeU16BE(18, &m[18]); // room for two descriptors, of which one arrives
        return m;
    }();
    const std::vector<uint8_t> badDiscriminator = [] {
        auto m = dataRequestBytes(0, 5);
        m[0] = 0x12;
        return m;
    }();
    const Case cases[] = {
        {"a 1-byte frame 11, as a data request", DATA, {0x11}, 1, DSMCC_ERR_PROTOCOL},
        {"a 1-byte frame 11, as an info request", INFO, {0x11}, 1, DSMCC_ERR_PROTOCOL},
        {"a 1-byte frame 11, as a header", HEADER, {0x11}, 1, DSMCC_ERR_PROTOCOL},
        {"no bytes at all", DATA, {}, 0, DSMCC_ERR_PROTOCOL},
        {"11 header bytes", HEADER, dataRequestBytes(0, 2), 11, DSMCC_ERR_PROTOCOL},
        {"a whole header", HEADER, dataRequestBytes(0, 2), 12, 0},
        {"a header whose adaptation header is missing", HEADER, dataRequestBytes(4, 2), 15,
         DSMCC_ERR_PROTOCOL},
        {"a header with its adaptation header", HEADER, dataRequestBytes(4, 2), 16, 0},
        {"a 16-byte data request: downloadReason missing", DATA, dataRequestBytes(0, 5), 16,
         DSMCC_ERR_PROTOCOL},
        {"a whole 17-byte data request", DATA, dataRequestBytes(0, 5), 17, 0},
        {"a data request with adaptation, one byte short", DATA, dataRequestBytes(4, 5), 20,
         DSMCC_ERR_PROTOCOL},
        {"a data request with adaptation, whole", DATA, dataRequestBytes(4, 5), 21, 0},
        // The order of judgement: the header's own fields come before the body's length.
        {"a short data request with a bad discriminator", DATA, badDiscriminator, 16,
         DSMCC_ERR_DISCRIMINATOR},
        {"a short message with adaptation length 3",
         DATA,
         {0x12, 3, 0x10, 4, 0, 0, 0, 7, 0xFF, 3, 0, 5},
         12,
         DSMCC_ERR_ADAPTATION},
        {"an info request without descriptorCount", INFO, infoRequestBytes({}, 0), 21,
         DSMCC_ERR_PROTOCOL},
        {"an info request with no descriptors", INFO, infoRequestBytes({}, 0), 22,
         DSMCC_ERR_COMPATIBILITY},
        {"an info request with its type-1 descriptor", INFO, infoRequestBytes(typeOne, 1), 31, 0},
        {"an info request whose type-1 descriptor is cut short", INFO, infoRequestBytes(typeOne, 1),
         30, DSMCC_ERR_PROTOCOL},
        {"an info request with one byte of a descriptor", INFO, infoRequestBytes({0x55, 0}, 1), 23,
         DSMCC_ERR_PROTOCOL},
        {"an info request with a 2-byte descriptor of another type", INFO,
         infoRequestBytes({0x55, 0}, 1), 24, DSMCC_ERR_COMPATIBILITY},
        {"an info request counting more descriptors than arrived", INFO, countingTwo, 31,
         DSMCC_ERR_PROTOCOL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Received in(c.message, c.length);
        switch (c.parser) {
        case HEADER: {
            MessageHeaderRecord record{};
            EXPECT_EQ(parseMessageHeader(record, in.bytes.get(), in.length), c.expected);
            EXPECT_EQ(record.messageId != 0, c.expected == 0);
            break;
        }
        case INFO: {
            DownloadInfoRequestRecord record{};
            EXPECT_EQ(parseDownloadInfoRequest(record, in.bytes.get(), in.length), c.expected);
            // The sizes are taken only from a request whose fixed fields all arrived.
            EXPECT_EQ(record.bufferSize != 0, c.length >= 22) << record.bufferSize;
            break;
        }
        case DATA: {
            DownloadDataRequestRecord record{};
            EXPECT_EQ(parseDownloadDataRequest(record, in.bytes.get(), in.length), c.expected);
            // A failed parse leaves the record as it was: no downloadId, no reason.
            EXPECT_EQ(record.header.transactionId != 0, c.expected == 0);
            EXPECT_EQ(record.downloadReason != 0, c.expected == 0);
            break;
        }
        }
    }
}

TEST(CompatibilityDescriptor, StopsAtTheBytesReceived) {
    const auto walk = concat({descriptor(2, 0x1A, 0x1B, 0x1C), descriptor(1, 0x2A, 0x2B, 0x2C)});
    std::vector<uint8_t> bytes(4 + walk.size());
    writeU16BE(static_cast<uint16_t>(walk.size()), &bytes[0]);
    writeU16BE(2, &bytes[2]);
    std::memcpy(&bytes[4], walk.data(), walk.size());
    for (uint32_t n = 0; n <= bytes.size(); ++n) {
        const Received in(bytes, n);
        CompatibilityValues values{};
        const int expected = n == bytes.size() ? 0 : DSMCC_ERR_PROTOCOL;
        EXPECT_EQ(parseCompatibilityDescriptor(values, in.bytes.get(), n), expected) << n;
        // The type-2 descriptor is kept once it has arrived whole.
        EXPECT_EQ(values.value2 == 0x1B, n >= 13) << n;
    }
}

TEST(Parsers, NeverReachPastTheirBound) {
    // The walk's position is 16 bits wide, so even the most extreme descriptor chain stays
    // within the bound; a heap buffer of exactly that size lets the sanitizer prove it.
    auto buffer = std::make_unique<uint8_t[]>(PARSER_REACH);
    uint8_t* message = buffer.get();
    std::memset(message, 0, PARSER_REACH);
    message[0] = 0x11;
    message[1] = 3;
    writeU16BE(0x1001, message + 2);
    message[9] = 252; // the largest adaptation header
    uint8_t* body = message + 12 + 252;
    writeU16BE(0xFFFF, body + 6);
    writeU16BE(0xFFFF, body + 8);
    // Chain descriptors so that one starts at position 65535, the farthest possible.
    uint8_t* walk = body + 6;
    uint32_t position = 4;
    while (position + 257 <= 65535 - 2) {
        walk[position] = 0x77;
        walk[position + 1] = 255;
        position += 257;
    }
    walk[position] = 0x77;
    walk[position + 1] = static_cast<uint8_t>(65535 - position - 2);
    position = 65535;
    walk[position] = 1; // type 1: reads up to 8 bytes further
    DownloadInfoRequestRecord record{};
    EXPECT_EQ(parseDownloadInfoRequest(record, message, PARSER_REACH), 0);

    // And random frames of every adaptation length.
    std::mt19937 random(12345);
    for (int round = 0; round < 300; ++round) {
        for (size_t i = 0; i < PARSER_REACH; i += 4) {
            const uint32_t r = random();
            std::memcpy(message + i, &r, std::min<size_t>(4, PARSER_REACH - i));
        }
        message[0] = 0x11;
        message[1] = 3;
        message[9] = static_cast<uint8_t>((random() % 64) * 4);
        writeU16BE(0x1001, message + 2);
        DownloadInfoRequestRecord info{};
        DownloadDataRequestRecord data{};
        parseDownloadInfoRequest(info, message, PARSER_REACH);
        EXPECT_EQ(parseDownloadDataRequest(data, message, PARSER_REACH), 0);
    }
}

TEST(ResponseHeader, InitSetsTheFourPresetFields) {
    DownloadInfoResponse response{};
    response.header.transactionId = 5;
    response.header.adaptationLength = 8;
    EXPECT_EQ(initResponseHeader(response), 0);
    EXPECT_EQ(response.header.protocolDiscriminator, 0x11);
    EXPECT_EQ(response.header.dsmccType, 3);
    EXPECT_EQ(response.header.messageId, 0x1002);
    EXPECT_EQ(response.header.adaptationLength, 0);
    EXPECT_EQ(response.header.transactionId, 5u);
}

TEST(BuildMessageHeader, WritesConstantsAndTheAdaptationHeader) {
    const uint8_t adaptation[3] = {0xA1, 0xA2, 0xA3};
    MessageHeaderRecord header{};
    header.protocolDiscriminator = 0x99; // not used: the builder writes its constants
    header.dsmccType = 0x98;
    header.messageId = 0x1003;
    header.transactionId = 0x01020304;
    header.adaptationLength = 4;
    header.messageLength = 0x0A0B;
    header.adaptationType = 0x55;
    header.adaptationData = adaptation;
    uint8_t out[32];
    std::memset(out, 0xCC, sizeof out);
    ASSERT_EQ(buildMessageHeader(header, out), 16u);
    const uint8_t expected[17] = {0x11, 3,    0x10, 0x03, 1,    2,    3,    4,   0xFF,
                                  4,    0x0A, 0x0B, 0x55, 0xA1, 0xA2, 0xA3, 0xCC};
    EXPECT_EQ(0, std::memcmp(out, expected, sizeof expected));
}

TEST(BuildDownloadInfoResponse, EmptyRecordIs34Bytes) {
    DownloadInfoResponse response{};
    response.header.adaptationLength = 4; // reset by the builder
    response.header.transactionId = 0x11223344;
    response.downloadId = 0xCAFEBABE;
    response.blockSize = 4066;
    response.windowSize = 8;
    response.ackPeriod = 1;
    response.tCDownloadWindow = 0x01010101;
    response.tCDownloadScenario = 0x02020202;
    std::vector<uint8_t> out(FRAME_BUFFER_SIZE, 0xCC);
    ASSERT_EQ(buildDownloadInfoResponse(response, out.data()), 34);
    EXPECT_EQ(response.header.adaptationLength, 0);
    EXPECT_EQ(response.header.messageId, 0x1002);
    const uint8_t expected[35] = {0x11, 3,    0x10, 0x02, 0x11, 0x22, 0x33, 0x44, 0xFF, 0, 0,   22,
                                  0xCA, 0xFE, 0xBA, 0xBE, 0x0F, 0xE2, 8,    1,    1,    1, 1,   1,
                                  2,    2,    2,    2,    0,    0,    0,    0,    0,    0, 0xCC};
    EXPECT_EQ(0, std::memcmp(out.data(), expected, sizeof expected));
}

TEST(BuildDownloadInfoResponse, OneModuleWithFourInfoBytesIs46) {
    DownloadInfoResponse response{};
    response.numberOfModules = 1;
    response.modules[0].moduleId = 0x0102;
    response.modules[0].moduleSize = 0x0001F400;
    response.modules[0].moduleVersion = 7;
    response.modules[0].moduleInfoLength = 4;
    const uint8_t info[4] = {0x81, 0x02, 0x00, 0x0A};
    std::memcpy(response.modules[0].moduleInfo, info, 4);
    std::vector<uint8_t> out(FRAME_BUFFER_SIZE, 0xCC);
    ASSERT_EQ(buildDownloadInfoResponse(response, out.data()), 46);
    EXPECT_EQ(readU16BE(&out[10]), 34);
    EXPECT_EQ(readU16BE(&out[30]), 1); // numberOfModules
    const uint8_t entry[12] = {0x01, 0x02, 0x00, 0x01, 0xF4, 0x00, 7, 4, 0x81, 0x02, 0x00, 0x0A};
    EXPECT_EQ(0, std::memcmp(&out[32], entry, sizeof entry));
    EXPECT_EQ(readU16BE(&out[44]), 0); // privateDataLength
    EXPECT_EQ(out[46], 0xCC);
}

TEST(BuildDownloadInfoResponse, FullRecordIs14208Bytes) {
    DownloadInfoResponse response{};
    response.numberOfModules = MAX_MODULES;
    for (int i = 0; i < MAX_MODULES; ++i) {
        response.modules[i].moduleId = static_cast<uint16_t>(i);
        response.modules[i].moduleInfoLength = 255;
        std::memset(response.modules[i].moduleInfo, i, 255);
    }
    response.privateDataLength = MAX_PRIVATE_DATA;
    std::memset(response.privateData, 0xAB, MAX_PRIVATE_DATA);
    std::vector<uint8_t> out(FRAME_BUFFER_SIZE, 0xCC);
    ASSERT_EQ(buildDownloadInfoResponse(response, out.data()), 14208);
    EXPECT_EQ(readU16BE(&out[10]), 14196);
    // The last module entry, then the private data.
    const size_t last = 32 + 49 * 263;
    EXPECT_EQ(readU16BE(&out[last]), 49);
    EXPECT_EQ(out[last + 7], 255);
    EXPECT_EQ(out[last + 8 + 254], 49);
    EXPECT_EQ(readU16BE(&out[14208 - 1026]), 1024);
    EXPECT_EQ(out[14207], 0xAB);
    EXPECT_EQ(out[14208], 0xCC);
}

TEST(BuildDownloadInfoResponse, NeverReadsPastTheRecordsBounds) {
    // A corrupt record cannot make the builder read beyond its 50 rows or 1024 private bytes.
    DownloadInfoResponse response{};
    response.numberOfModules = 60;
    response.privateDataLength = 2000;
    std::vector<uint8_t> out(FRAME_BUFFER_SIZE, 0);
    const uint16_t length = buildDownloadInfoResponse(response, out.data());
    EXPECT_EQ(readU16BE(&out[30]), 50);
    EXPECT_EQ(length, 34 + 50 * 8 + 1024);
}

TEST(DownloadDataBlock, HeaderLayout) {
    uint8_t out[20];
    std::memset(out, 0xCC, sizeof out);
    buildDownloadDataBlockHeader(out, 0x01020304, 3, 9, 0x0102, 1024);
    const uint8_t expected[19] = {0x11, 3,    0x10, 0x03, 1, 2,    3,    4,    0xFF, 0,
                                  0x04, 0x0A, 0,    3,    9, 0xFF, 0x01, 0x02, 0xCC};
    EXPECT_EQ(0, std::memcmp(out, expected, sizeof expected));
    EXPECT_EQ(DATA_BLOCK_HEADER_SIZE + 1024, 1042u);
}
