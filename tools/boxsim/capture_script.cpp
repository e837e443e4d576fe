#include "tools/boxsim/capture_script.h"

#include "common/byte_order.h"
#include "tools/boxsim/box_messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

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

uint32_t fileU32(const uint8_t* p, bool swapped) {
    return swapped
               ? kestrune::readU32BE(p)
               : uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool sameAddress(const uint8_t* a, const uint8_t (&b)[4]) {
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

// No IPv4 datagram is larger: a record that is, is read past in pieces, never held.
constexpr size_t MAX_DATAGRAM = 65535;

class MemorySource : public CaptureSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t read(uint8_t* into, size_t n) override {
        const size_t got = n < size_ - at_ ? n : size_ - at_;
        if (got > 0) {
            std::memcpy(into, data_ + at_, got);
        }
        at_ += got;
        return got;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

class FileSource : public CaptureSource {
public:
    explicit FileSource(FILE* file) : file_(file) {}
    size_t read(uint8_t* into, size_t n) override {
        const size_t got = std::fread(into, 1, n, file_);
        if (got < n && std::ferror(file_) != 0) {
            error_ = errno != 0 ? errno : EIO;
        }
        return got;
    }
    bool failed() const override { return error_ != 0; }
    int error() const { return error_; }

private:
    FILE* file_;
    int error_ = 0;
};

// Reads past `n` bytes; false when the capture ends first.
bool skipBytes(CaptureSource& source, uint64_t n, uint8_t* scratch, size_t scratchSize) {
    while (n > 0) {
        const size_t want = n < scratchSize ? size_t(n) : scratchSize;
        const size_t got = source.read(scratch, want);
        n -= got;
        if (got < want) {
            return false;
        }
    }
    return true;
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

bool parseCapture(CaptureSource& source, ReplayScript& script, std::string& error) {
    script = ReplayScript{};
    uint8_t header[24];
    const size_t headerBytes = source.read(header, sizeof header);
    if (headerBytes < sizeof header) {
        error = "not a pcap capture (" + std::to_string(headerBytes) + " bytes)";
        return false;
    }
    // The magic number tells the file's byte order: it reads right one way only.
    const uint32_t magicLe = fileU32(header, false);
    const uint32_t magicBe = fileU32(header, true);
    bool swapped = false;
    if (magicLe == MAGIC_MICROSECONDS || magicLe == MAGIC_NANOSECONDS) {
        swapped = false;
    } else if (magicBe == MAGIC_MICROSECONDS || magicBe == MAGIC_NANOSECONDS) {
        swapped = true;
    } else {
        error = "not a pcap capture (pcapng files: save them as pcap first)";
        return false;
    }
    const uint32_t linktype = fileU32(header + 20, swapped);
    bool raw = false;
    for (uint32_t t : LINKTYPES_RAW) {
        raw = raw || linktype == t;
    }
    if (!raw) {
        error = "a capture of link type " + std::to_string(linktype) +
                ", not raw IPv4 as the download capture writes";
        return false;
    }
    std::vector<uint8_t> body(MAX_DATAGRAM);
    for (size_t record = 1;; ++record) {
        const std::string where = "record " + std::to_string(record);
        uint8_t recordHeader[16];
        const size_t got = source.read(recordHeader, sizeof recordHeader);
        if (got == 0 && !source.failed()) {
            break; // the end of the capture, between two records
        }
        if (got < sizeof recordHeader) {
            error = where + " is cut short";
            return false;
        }
        const uint32_t captured = fileU32(recordHeader + 8, swapped);
        const uint32_t original = fileU32(recordHeader + 12, swapped);
        if (captured > body.size()) {
            // Not one of the download's datagrams; the capture goes on after it.
            if (!skipBytes(source, captured, body.data(), body.size())) {
                error = where + " is cut short";
                return false;
            }
            continue;
        }
        if (source.read(body.data(), captured) < captured) {
            error = where + " is cut short";
            return false;
        }
        kestrune::ByteReader ip(body.data(), captured);
        const uint8_t versionAndLength = ip.u8();
        const size_t ipHeader = size_t(versionAndLength & 0x0F) * 4;
        ip.skip(8);
        const uint8_t protocol = ip.u8();
        ip.skip(2);
        const uint8_t* sourceAddress = ip.bytes(4);
        const uint8_t* destination = ip.bytes(4);
        if (!ip.ok() || versionAndLength >> 4 != 4 || ipHeader < 20 ||
            protocol != IP_PROTOCOL_UDP || captured < ipHeader + UDP_HEADER_SIZE) {
            continue; // not one of the download's datagrams
        }
        const bool fromBox =
            sameAddress(sourceAddress, BOX_ADDRESS) && sameAddress(destination, SERVER_ADDRESS);
        const bool fromServer =
            sameAddress(sourceAddress, SERVER_ADDRESS) && sameAddress(destination, BOX_ADDRESS);
        if (!fromBox && !fromServer) {
            continue;
        }
        const size_t headers = ipHeader + UDP_HEADER_SIZE;
        const uint8_t* message = body.data() + headers;
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

bool parseCapture(const uint8_t* data, size_t size, ReplayScript& script, std::string& error) {
    MemorySource source(data, size);
    return parseCapture(source, script, error);
}

bool readCapture(const std::string& path, ReplayScript& script, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    FileSource source(file);
    const bool parsed = parseCapture(source, script, error);
    std::fclose(file);
    if (source.failed()) {
        error = path + ": " + std::strerror(source.error());
        return false;
    }
    if (!parsed) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

} // namespace boxsim
