#include "capture/pcap_writer.h"

#include "capture/new_file.h"
#include "common/byte_order.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrune::capture {

// The file: classic pcap (microsecond timestamps), link type raw IPv4, so a record is an IPv4
// header, a UDP header and the DSM-CC message. The server is 10.0.0.1 and the box 10.0.0.2,
// both on UDP port 13819, where Wireshark looks for DSM-CC whichever way a datagram goes.
//
// The largest DownloadDataBlock (blockSize 65517) is a 65535-byte message, but an IPv4 UDP
// datagram carries at most 65507 bytes, and fragments cannot help: the UDP length field is 16
// bits, so no UDP datagram of any shape holds more than 65527. Such a message is recorded as a
// full-sized datagram holding its first 65507 bytes, with the true length in the record's
// original length (tools show "65563 bytes on wire, 65535 bytes captured"). Every header in the
// record stays consistent, the DSM-CC header (messageLength included) and the block's moduleId
// and blockNumber are all there, and only the last bytes of the block's data are missing.
namespace {

constexpr uint32_t PCAP_MAGIC = 0xA1B2C3D4; // microsecond timestamps
constexpr uint16_t PCAP_VERSION_MAJOR = 2;
constexpr uint16_t PCAP_VERSION_MINOR = 4;
constexpr uint32_t LINKTYPE_RAW = 101; // the record starts with the IP header
constexpr uint32_t IPV4_MAX_PACKET = 65535;
constexpr uint32_t SNAPLEN = IPV4_MAX_PACKET;

constexpr uint32_t RECORD_HEADER_SIZE = 16;
constexpr uint32_t IPV4_HEADER_SIZE = 20;
constexpr uint32_t UDP_HEADER_SIZE = 8;
constexpr uint32_t HEADERS_SIZE = RECORD_HEADER_SIZE + IPV4_HEADER_SIZE + UDP_HEADER_SIZE;
constexpr uint32_t MAX_UDP_PAYLOAD = IPV4_MAX_PACKET - IPV4_HEADER_SIZE - UDP_HEADER_SIZE;

constexpr uint8_t SERVER_ADDRESS[4] = {10, 0, 0, 1};
constexpr uint8_t BOX_ADDRESS[4] = {10, 0, 0, 2};
constexpr uint16_t DSMCC_UDP_PORT = 13819;
constexpr uint8_t IP_PROTOCOL_UDP = 17;
constexpr uint8_t IP_TTL = 64;
constexpr uint16_t IP_DONT_FRAGMENT = 0x4000;

uint16_t ipv4HeaderChecksum(const uint8_t* header) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < IPV4_HEADER_SIZE; i += 2) {
        sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
    }
    while (sum > 0xFFFF) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

} // namespace

PcapWriter::~PcapWriter() {
    close();
}

bool PcapWriter::open(const std::string& path) {
    close();
    path_ = path;
    FILE* file = std::fopen(path.c_str(), "wb");
    writeError_ = file == nullptr ? lastCrtError() : CrtError{};
    return start(file);
}

bool PcapWriter::openNew(const std::string& stem, const char* extension) {
    close();
    FILE* file = createNewFile(stem, extension, path_, writeError_);
    return start(file);
}

bool PcapWriter::start(FILE* file) {
    file_ = file;
    if (file_ == nullptr) {
        return false;
    }
    streamBuffer_ = std::make_unique<char[]>(HEADERS_SIZE + MAX_UDP_PAYLOAD);
    // Set before the first write, as the stream requires.
    std::setvbuf(file_, streamBuffer_.get(), _IOFBF, HEADERS_SIZE + MAX_UDP_PAYLOAD);
    uint8_t header[24];
    writeU32LE(PCAP_MAGIC, header);
    writeU16LE(PCAP_VERSION_MAJOR, header + 4);
    writeU16LE(PCAP_VERSION_MINOR, header + 6);
    writeU32LE(0, header + 8);  // timestamps in UTC
    writeU32LE(0, header + 12); // their accuracy, unstated
    writeU32LE(SNAPLEN, header + 16);
    writeU32LE(LINKTYPE_RAW, header + 20);
    if (std::fwrite(header, sizeof header, 1, file_) != 1 || std::fflush(file_) != 0) {
        writeError_ = lastCrtError();
        close();
        return false;
    }
    nextIpId_ = 0;
    return true;
}

void PcapWriter::close() {
    if (file_ != nullptr) {
        if (std::fclose(file_) != 0 && !writeError_) {
            writeError_ = lastCrtError();
        }
        file_ = nullptr;
    }
    streamBuffer_.reset();
}

void PcapWriter::onFrame(FrameDirection direction, const uint8_t* payload, uint32_t length) {
    if (file_ == nullptr || writeError_) {
        return;
    }
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const uint32_t captured = length < MAX_UDP_PAYLOAD ? length : MAX_UDP_PAYLOAD;
    const uint32_t packetSize = IPV4_HEADER_SIZE + UDP_HEADER_SIZE + captured;
    const bool toBox = direction == FrameDirection::ToBox;

    uint8_t h[HEADERS_SIZE] = {};
    writeU32LE(static_cast<uint32_t>(now / 1000000), h);
    writeU32LE(static_cast<uint32_t>(now % 1000000), h + 4);
    writeU32LE(packetSize, h + 8);
    writeU32LE(IPV4_HEADER_SIZE + UDP_HEADER_SIZE + length, h + 12);

    uint8_t* ip = h + RECORD_HEADER_SIZE;
    ip[0] = 0x45; // version 4, five 32-bit words of header
    writeU16BE(static_cast<uint16_t>(packetSize), ip + 2);
    writeU16BE(nextIpId_++, ip + 4);
    writeU16BE(IP_DONT_FRAGMENT, ip + 6);
    ip[8] = IP_TTL;
    ip[9] = IP_PROTOCOL_UDP;
    std::memcpy(ip + 12, toBox ? SERVER_ADDRESS : BOX_ADDRESS, 4);
    std::memcpy(ip + 16, toBox ? BOX_ADDRESS : SERVER_ADDRESS, 4);
    writeU16BE(ipv4HeaderChecksum(ip), ip + 10);

    uint8_t* udp = ip + IPV4_HEADER_SIZE;
    writeU16BE(DSMCC_UDP_PORT, udp);
    writeU16BE(DSMCC_UDP_PORT, udp + 2);
    writeU16BE(static_cast<uint16_t>(UDP_HEADER_SIZE + captured), udp + 4);
    // The checksum stays 0, "none", which IPv4 allows; the link's CRCs have checked the bytes.

    // Both pieces land in the stream's buffer, which holds a whole record; the flush hands the
    // record to the file in one write.
    if (std::fwrite(h, sizeof h, 1, file_) != 1 ||
        (captured != 0 && std::fwrite(payload, captured, 1, file_) != 1) ||
        std::fflush(file_) != 0) {
        writeError_ = lastCrtError();
    }
}

} // namespace kestrune::capture
