// The box's identity read from its DownloadInfoRequest: descriptor layouts, short and odd ones.

#include "common/byte_order.h"
#include "dsmcc/identity.h"

#include <gtest/gtest.h>
#include <vector>

namespace kestrune {
namespace {

using Bytes = std::vector<uint8_t>;

// A DownloadInfoRequest whose descriptor loop is `loop` (count descriptors), cut to `cut` bytes
// when given.
Bytes request(const Bytes& loop, uint16_t count, size_t cut = SIZE_MAX) {
    Bytes m = {0x11, 3, 0x10, 0x01, 0, 0, 0, 0, 0xFF, 0};
    Bytes body = {0, 0, 0x80, 0, 0x40, 0}; // bufferSize, maximumBlockSize
    appendU16BE(body, static_cast<uint16_t>(loop.size()));
    appendU16BE(body, count);
    body.insert(body.end(), loop.begin(), loop.end());
    appendU16BE(m, static_cast<uint16_t>(body.size()));
    m.insert(m.end(), body.begin(), body.end());
    if (cut < m.size()) {
        m.resize(cut);
    }
    return m;
}

// descriptorType, descriptorLength 9, specifierType, OUI, model, version, no subdescriptors.
Bytes system(uint8_t type, uint8_t specifierType, uint32_t oui, uint16_t model, uint16_t version) {
    Bytes d = {type, 9, specifierType};
    appendU24BE(d, oui);
    appendU16BE(d, model);
    appendU16BE(d, version);
    d.push_back(0);
    return d;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

TEST(BoxIdentity, ReadsTheDescriptorsAsTheBoxSentThem) {
    const Bytes hw = system(1, 1, 0x00A0B1, 0x5601, 0x0203);
    const Bytes sw = system(2, 1, 0x00A0B1, 0x0101, 0x0001);
    const Bytes odd = {0x80, 3, 0xAA, 0xBB, 0xCC};
    const struct {
        const char* what;
        Bytes message;
        const char* said;
        uint32_t descriptors;
    } rows[] = {
        {"hardware and software", request(join({hw, sw}), 2),
         "hardware OUI 00-A0-B1 model 0x5601 version 0x0203; software OUI 00-A0-B1 model 0x0101 "
         "version 0x0001",
         2},
        {"an unknown descriptor first", request(join({odd, hw}), 2),
         "hardware OUI 00-A0-B1 model 0x5601 version 0x0203; no software descriptor", 2},
        {"a specifier that is not an OUI", request(system(1, 2, 0x123456, 1, 2), 1),
         "hardware specifier 2:0x123456 model 0x0001 version 0x0002; no software descriptor", 1},
        // The 7-byte descriptors of many boxes: too short for the reading, kept as they came.
        {"too short to read", request({1, 7, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, 1),
         "no hardware descriptor; no software descriptor", 1},
        {"cut inside the hardware descriptor", request(join({hw, sw}), 2, 22 + 6),
         "no hardware descriptor; no software descriptor", 1},
        {"count says more than the loop holds", request(hw, 5),
         "hardware OUI 00-A0-B1 model 0x5601 version 0x0203; no software descriptor", 1},
        {"no descriptor at all", request({}, 0), "no hardware descriptor; no software descriptor",
         0},
        {"cut before the loop", request(hw, 1, 14),
         "no hardware descriptor; no software descriptor", 0},
    };
    for (const auto& row : rows) {
        BoxIdentity identity;
        readBoxIdentity(identity, row.message.data(), static_cast<uint32_t>(row.message.size()));
        EXPECT_EQ(describeIdentity(identity), row.said) << row.what;
        EXPECT_EQ(identity.descriptorCount, row.descriptors) << row.what;
    }
}

TEST(BoxIdentity, KeepsEveryDescriptorsBytes) {
    const Bytes odd = {0x80, 3, 0xAA, 0xBB, 0xCC};
    const Bytes m = request(odd, 1);
    BoxIdentity identity;
    readBoxIdentity(identity, m.data(), static_cast<uint32_t>(m.size()));
    ASSERT_EQ(identity.descriptorCount, 1u);
    EXPECT_EQ(identity.descriptors[0].type, 0x80);
    EXPECT_EQ(Bytes(identity.bytes, identity.bytes + identity.descriptors[0].length),
              Bytes({0xAA, 0xBB, 0xCC}));
}

} // namespace
} // namespace kestrune
