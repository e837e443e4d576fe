#pragma once

// A capture of one download for Wireshark and tshark: every DSM-CC message the link accepted,
// in both directions, as a UDP datagram to or from port 13819 in a classic pcap file, stamped
// with the time the frame was accepted. Wireshark's DSM-CC dissector decodes the four download
// messages on that port.

#include "common/system_error.h"
#include "link/frame_tap.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace kestrune::capture {

class PcapWriter final : public FrameTap {
public:
    PcapWriter() = default;
    ~PcapWriter() override;
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates `path` (replacing a file of that name) and writes the file header. False, with
    // error() telling why, when the file cannot be written.
    bool open(const std::string& path);
    // The same in a file no other has the name of (capture/new_file.h): STEM + extension, or
    // STEM-2 + extension...; path() is its name.
    bool openNew(const std::string& stem, const char* extension);
    const std::string& path() const { return path_; }
    void close();
    bool isOpen() const { return file_ != nullptr; }
    // Why open() failed, or the first record that could not be written (a full disk); no
    // error when every one was. Kept after close() until the next open().
    CrtError writeError() const { return writeError_; }

    // One record per accepted frame, written and flushed at once, so that a capture cut short
    // (a killed process) holds every frame up to the last.
    void onFrame(FrameDirection direction, const uint8_t* payload, uint32_t length) override;

private:
    bool start(FILE* file);

    std::string path_;
    FILE* file_ = nullptr;
    // The stream's buffer, large enough for the biggest record: each record reaches the file
    // in one write when it is flushed.
    std::unique_ptr<char[]> streamBuffer_;
    uint16_t nextIpId_ = 0;
    CrtError writeError_; // after a failed write nothing more is added
};

} // namespace kestrune::capture
