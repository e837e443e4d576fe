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
    const Bytes otherHw = system(1, 1, 0x00A0B1, 0x5602, 0x0203);
    const Bytes odd = {0x80, 3, 0xAA, 0xBB, 0xCC};
    // The compact bodies of the default simulated box: specifierType, 16-bit specifierData,
    // model, version.
    const Bytes compactSw = {2, 7, 0, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03};
    const Bytes compactHw = {1, 7, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    const Bytes shortHw = {1, 6, 0, 0x12, 0x34, 0x56, 0x78, 0x9A};
    // subDescriptorCount 1 and its sub-descriptor after the nine bytes.
    const Bytes longHw = {1, 12, 1, 0x00, 0xA0, 0xB1, 0x56, 0x01, 0x02, 0x03, 1, 0xAA, 1, 0x00};
    const std::string hwText = "hardware OUI 0x00A0B1 model 0x5601 version 0x0203";
    const struct {
        const char* what;
        Bytes message;
        std::string said;
        uint32_t descriptors;
        bool disagrees;
    } rows[] = {
        {"9-byte bodies", request(join({hw, sw}), 2),
         hwText + "; software OUI 0x00A0B1 model 0x0101 version 0x0001", 2, false},
        {"7-byte bodies", request(join({compactSw, compactHw}), 2),
         "hardware specifier 0:0x1234 model 0x5678 version 0x9ABC; software specifier 0:0x0001 "
         "model 0x0002 version 0x0003",
         2, false},
        {"a compact body has no OUI", request({1, 7, 1, 0x00, 0xA0, 0x56, 0x01, 0x02, 0x03}, 1),
         "hardware specifier 1:0x00A0 model 0x5601 version 0x0203; no software descriptor", 1,
         false},
        {"an 8-byte body is compact", request({1, 8, 0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 7}, 1),
         "hardware specifier 0:0x1234 model 0x5678 version 0x9ABC; no software descriptor", 1,
         false},
        {"a long body", request(longHw, 1), hwText + "; no software descriptor", 1, false},
        {"a body too short for either form", request(shortHw, 1),
         "an unreadable hardware descriptor; no software descriptor", 1, false},
        {"an unreadable one, then a readable one", request(join({shortHw, hw}), 2),
         hwText + "; no software descriptor", 2, false},
        {"an unknown descriptor first", request(join({odd, hw}), 2),
         hwText + "; no software descriptor", 2, false},
        {"a specifier that is not an OUI", request(system(1, 2, 0x123456, 1, 2), 1),
         "hardware specifier 2:0x123456 model 0x0001 version 0x0002; no software descriptor", 1,
         false},
        {"two type-1 that agree", request(join({hw, hw}), 2), hwText + "; no software descriptor",
         2, false},
        {"two type-1 that disagree", request(join({hw, otherHw}), 2),
         "two hardware descriptors that disagree: OUI 0x00A0B1 model 0x5601 version 0x0203 and "
         "OUI 0x00A0B1 model 0x5602 version 0x0203; no software descriptor",
         2, true},
        {"cut inside the hardware descriptor", request(join({hw, sw}), 2, 22 + 6),
         "an unreadable hardware descriptor; no software descriptor", 1, false},
        {"count says more than the loop holds", request(hw, 5), hwText + "; no software descriptor",
         1, false},
        {"no descriptor at all", request({}, 0), "no hardware descriptor; no software descriptor",
         0, false},
        {"cut before the loop", request(hw, 1, 14),
         "no hardware descriptor; no software descriptor", 0, false},
    };
    for (const auto& row : rows) {
        BoxIdentity identity;
        readBoxIdentity(identity, row.message.data(), static_cast<uint32_t>(row.message.size()));
        EXPECT_EQ(describeIdentity(identity), row.said) << row.what;
        EXPECT_EQ(identity.descriptorCount, row.descriptors) << row.what;
        EXPECT_EQ(identity.hardwareDisagrees, row.disagrees) << row.what;
    }
    // The last of two that disagree counts, as in the download's own walk.
    const Bytes both = request(join({hw, otherHw}), 2);
    BoxIdentity identity;
    readBoxIdentity(identity, both.data(), static_cast<uint32_t>(both.size()));
    EXPECT_EQ(identity.hardware.model, 0x5602);
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
