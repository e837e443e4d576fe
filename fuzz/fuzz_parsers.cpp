// The three message parsers, and the reading of the box's identity, on arbitrary payloads, each
// handed exactly the bytes received: the copy lies in a heap block of the payload's size, so the
// sanitizer reports any read past it.
#include "dsmcc/codec.h"
#include "dsmcc/identity.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace kestrune;

namespace {

DownloadInfoRequestRecord infoRequest;
DownloadDataRequestRecord dataRequest;
MessageHeaderRecord header;
CompatibilityValues compatibility;
BoxIdentity identity;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > FRAME_BUFFER_SIZE) {
        return 0;
    }
    const auto length = static_cast<uint32_t>(size);
    const std::unique_ptr<uint8_t[]> message(new uint8_t[size == 0 ? 1 : size]);
    if (size > 0) {
        std::memcpy(message.get(), data, size);
    }
    const int headerResult = parseMessageHeader(header, message.get(), length);
    if (size >= 2) {
        checkDiscriminatorAndType(message.get());
    }
    parseDownloadInfoRequest(infoRequest, message.get(), length);
    // A data request is accepted only when all 5 body bytes arrived, and then the header is too.
    const int dataResult = parseDownloadDataRequest(dataRequest, message.get(), length);
    if (dataResult == 0 && (headerResult != 0 || size < 17u + message[9])) {
        std::abort();
    }
    // The descriptor walk over the whole payload, as if it began at compatibilityDescriptorLength.
    parseCompatibilityDescriptor(compatibility, message.get(), length);
    // Who the box says it is, as the guard reads it: within its fixed storage, and a
    // disagreement only between two readings.
    readBoxIdentity(identity, message.get(), length);
    if (identity.descriptorCount > BoxIdentity::MAX_DESCRIPTORS ||
        identity.byteCount > BoxIdentity::MAX_BYTES ||
        (identity.hardwareDisagrees &&
         (!identity.hardware.present || identity.hardwareDescriptors < 2))) {
        std::abort();
    }
    return 0;
}
