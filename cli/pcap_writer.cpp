#include "cli/pcap_writer.h"

namespace kestrune::cli {

// Filled in with the capture format; until then nothing is captured.
PcapWriter::~PcapWriter() {
    close();
}

bool PcapWriter::open(const std::string& path) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    return file_ != nullptr;
}

void PcapWriter::close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void PcapWriter::onFrame(FrameDirection, const uint8_t*, uint32_t) {}

} // namespace kestrune::cli
