// The three message parsers on arbitrary payloads, each copied into a zeroed frame buffer of
// the session's size, the way a received frame lies there.
#include "dsmcc/codec.h"

#include <cstdint>
#include <cstring>
#include <memory>

using namespace kestrune;

namespace {

// On the heap and exactly the frame buffer's size, so that the sanitizer catches any read past it.
uint8_t* frameBuffer() {
    static const std::unique_ptr<uint8_t[]> buffer(new uint8_t[FRAME_BUFFER_SIZE]());
    return buffer.get();
}

DownloadInfoRequestRecord infoRequest;
DownloadDataRequestRecord dataRequest;
MessageHeaderRecord header;
CompatibilityValues compatibility;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* frame = frameBuffer();
    const size_t length = size < FRAME_BUFFER_SIZE ? size : FRAME_BUFFER_SIZE;
    // Zero what the previous payload wrote; the rest stays zero.
    static size_t dirty = 0;
    std::memset(frame, 0, dirty);
    dirty = length;
    if (length > 0) {
        std::memcpy(frame, data, length);
    }
    parseMessageHeader(header, frame);
    checkDiscriminatorAndType(frame);
    parseDownloadInfoRequest(infoRequest, frame);
    parseDownloadDataRequest(dataRequest, frame);
    // The descriptor walk from wherever a message with the largest adaptation header puts it.
    parseCompatibilityDescriptor(compatibility, frame + 12 + 252 + 6);
    return 0;
}
