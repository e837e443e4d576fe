#pragma once

// What a box did in a captured download (`kestrune-cli serve --pcap`, a station's capture): its
// messages in order, each with the server's messages that answered it, for replaying the box
// against a server and checking that the server answers as it did then.

#include "tools/boxsim/box_link.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace boxsim {

struct CapturedMessage {
    Bytes bytes;             // as captured: the first bytes of a message too large for UDP
    uint32_t fullLength = 0; // the message's own length
    bool cut() const { return bytes.size() < fullLength; }
};

struct ReplayStep {
    Bytes request;                        // the box's DownloadInfoRequest or DownloadDataRequest
    std::vector<CapturedMessage> answers; // what the server sent after it, before the next one
};

struct ReplayScript {
    std::vector<ReplayStep> steps;
    size_t blocks() const;
};

// A capture's bytes in order, read as they come (a capture can be larger than memory).
class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    // Up to `n` bytes into `into`; fewer only at the end (or on a read error: failed()).
    virtual size_t read(uint8_t* into, size_t n) = 0;
    virtual bool failed() const { return false; }
};

// Reads a capture as the download capture writes it: classic pcap (either byte order), raw
// IPv4, UDP, the box at 10.0.0.2 and the server at 10.0.0.1. False with the reason in `error`
// for anything else, or a capture in which the server speaks first. Only the download's
// messages are kept: the file is read record by record, through a buffer of one datagram.
bool parseCapture(CaptureSource& source, ReplayScript& script, std::string& error);
bool parseCapture(const uint8_t* data, size_t size, ReplayScript& script, std::string& error);
bool readCapture(const std::string& path, ReplayScript& script, std::string& error);

} // namespace boxsim
