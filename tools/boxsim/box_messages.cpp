#include "tools/boxsim/box_messages.h"

#include "common/byte_order.h"

namespace boxsim {
namespace {

// protocolDiscriminator, dsmccType, messageId, transactionId, reserved, adaptationLength,
// messageLength (patched by finish()).
void header(Bytes& m, uint16_t messageId, uint32_t transactionId) {
    m = {0x11, 3};
    kestrune::appendU16BE(m, messageId);
    kestrune::appendU32BE(m, transactionId);
    m.push_back(0xFF);
    m.push_back(0);
    kestrune::appendU16BE(m, 0);
}

void finish(Bytes& m) {
    kestrune::writeU16BE(static_cast<uint16_t>(m.size() - 12), &m[10]);
}

} // namespace

void appendCompatibilityDescriptor(Bytes& out, uint8_t type, uint32_t oui, uint16_t model,
                                   uint16_t version) {
    out.push_back(type);
    out.push_back(9); // the bytes after this one
    out.push_back(1); // specifierType: an OUI
    kestrune::appendU24BE(out, oui);
    kestrune::appendU16BE(out, model);
    kestrune::appendU16BE(out, version);
    out.push_back(0); // subDescriptorCount
}

Bytes infoRequest(const InfoRequestShape& shape) {
    Bytes m;
    header(m, MSG_INFO_REQUEST, 0);
    kestrune::appendU32BE(m, shape.bufferSize);
    kestrune::appendU16BE(m, shape.maximumBlockSize);
    Bytes descriptors = shape.descriptors;
    uint16_t count = shape.descriptorCount;
    if (count == 0) {
        descriptors = {2, 7, 0, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};
        count = 1;
        if (shape.typeOne) {
            const uint8_t typeOne[9] = {1, 7, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
            descriptors.insert(descriptors.end(), typeOne, typeOne + 9);
            count = 2;
        }
    }
    if (!shape.serial.empty()) {
        descriptors.push_back(shape.serialType);
        descriptors.push_back(static_cast<uint8_t>(shape.serial.size()));
        descriptors.insert(descriptors.end(), shape.serial.begin(), shape.serial.end());
        ++count;
    }
    kestrune::appendU16BE(m, static_cast<uint16_t>(descriptors.size()));
    kestrune::appendU16BE(m, count);
    m.insert(m.end(), descriptors.begin(), descriptors.end());
    kestrune::appendU16BE(m, 0); // privateDataLength
    finish(m);
    return m;
}

Bytes dataRequest(uint32_t downloadId, uint16_t moduleId, uint16_t blockNumber, uint8_t reason) {
    Bytes m;
    header(m, MSG_DATA_REQUEST, downloadId);
    kestrune::appendU16BE(m, moduleId);
    kestrune::appendU16BE(m, blockNumber);
    m.push_back(reason);
    finish(m);
    return m;
}

} // namespace boxsim
