#include "tools/boxsim/capture_script.h"

#include "common/byte_order.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace boxsim {
namespace {

constexpr uint32_t MAGIC_MICROSECONDS = 0xA1B2C3D4;
constexpr uint32_t MAGIC_NANOSECONDS = 0xA1B23C4D;
// Raw IP as the writer declares it, and the two other numbers tools use for the same thing.
constexpr uint32_t LINKTYPES_RAW[] = {101, 228, 12};
constexpr uint8_t BOX_ADDRESS[4] = {10, 0, 0, 2};
constexpr uint8_t SERVER_ADDRESS[4] = {10, 0, 0, 1};
constexpr uint8_t IP_PROTOCOL_UDP = 17;
constexpr size_t UDP_HEADER_SIZE = 8;
constexpr uint16_t MSG_DATA_BLOCK = 0x1003;

uint32_t fileU32(const uint8_t* p, bool swapped) {
    return swapped
               ? kestrune::readU32BE(p)
               : uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool sameAddress(const uint8_t* a, const uint8_t (&b)[4]) {
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

} // namespace

size_t ReplayScript::blocks() const {
    size_t n = 0;
    for (const ReplayStep& step : steps) {
        for (const CapturedMessage& answer : step.answers) {
            n +=
                answer.bytes.size() >= 4 && kestrune::readU16BE(&answer.bytes[2]) == MSG_DATA_BLOCK;
        }
    }
    return n;
}

bool parseCapture(const uint8_t* data, size_t size, ReplayScript& script, std::string& error) {
    script = ReplayScript{};
    if (size < 24) {
        error = "not a pcap capture (" + std::to_string(size) + " bytes)";
        return false;
    }
    // The magic number tells the file's byte order: it reads right one way only.
    const uint32_t magicLe = fileU32(data, false);
    const uint32_t magicBe = fileU32(data, true);
    bool swapped = false;
    if (magicLe == MAGIC_MICROSECONDS || magicLe == MAGIC_NANOSECONDS) {
        swapped = false;
    } else if (magicBe == MAGIC_MICROSECONDS || magicBe == MAGIC_NANOSECONDS) {
        swapped = true;
    } else {
        error = "not a pcap capture (pcapng files: save them as pcap first)";
        return false;
    }
    const uint32_t linktype = fileU32(data + 20, swapped);
    bool raw = false;
    for (uint32_t t : LINKTYPES_RAW) {
        raw = raw || linktype == t;
    }
    if (!raw) {
        error = "a capture of link type " + std::to_string(linktype) +
                ", not raw IPv4 as the download capture writes";
        return false;
    }
    size_t at = 24;
    size_t record = 0;
    while (at < size) {
        ++record;
        const std::string where = "record " + std::to_string(record);
        if (size - at < 16) {
            error = where + " is cut short";
            return false;
        }
        const uint32_t captured = fileU32(data + at + 8, swapped);
        const uint32_t original = fileU32(data + at + 12, swapped);
        at += 16;
        if (captured > size - at) {
            error = where + " is cut short";
            return false;
        }
        kestrune::ByteReader ip(data + at, captured);
        at += captured;
        const uint8_t versionAndLength = ip.u8();
        const size_t ipHeader = size_t(versionAndLength & 0x0F) * 4;
        ip.skip(8);
        const uint8_t protocol = ip.u8();
        ip.skip(2);
        const uint8_t* source = ip.bytes(4);
        const uint8_t* destination = ip.bytes(4);
        if (!ip.ok() || versionAndLength >> 4 != 4 || ipHeader < 20 ||
            protocol != IP_PROTOCOL_UDP || captured < ipHeader + UDP_HEADER_SIZE) {
            continue; // not one of the download's datagrams
        }
        const bool fromBox =
            sameAddress(source, BOX_ADDRESS) && sameAddress(destination, SERVER_ADDRESS);
        const bool fromServer =
            sameAddress(source, SERVER_ADDRESS) && sameAddress(destination, BOX_ADDRESS);
        if (!fromBox && !fromServer) {
            continue;
        }
        const size_t headers = ipHeader + UDP_HEADER_SIZE;
        const uint8_t* message = data + at - captured + headers;
        CapturedMessage m;
        m.bytes.assign(message, message + (captured - headers));
        m.fullLength = original > headers ? uint32_t(original - headers) : 0;
        if (m.fullLength < m.bytes.size()) {
            m.fullLength = uint32_t(m.bytes.size());
        }
        if (fromBox) {
            if (m.cut()) {
                error = where + ": a request of the box is cut short";
                return false;
            }
            script.steps.push_back(ReplayStep{std::move(m.bytes), {}});
        } else if (script.steps.empty()) {
            error = where + ": the server speaks before the box has asked";
            return false;
        } else {
            script.steps.back().answers.push_back(std::move(m));
        }
    }
    if (script.steps.empty()) {
        error = "the capture holds no request of a box";
        return false;
    }
    return true;
}

bool readCapture(const std::string& path, ReplayScript& script, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    Bytes bytes;
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    const bool failed = std::ferror(file) != 0;
    const int readError = errno;
    std::fclose(file);
    if (failed) {
        error = path + ": " + std::strerror(readError);
        return false;
    }
    if (!parseCapture(bytes.data(), bytes.size(), script, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace boxsim
