// The hardware guard: how --expect-hardware and --expect-oui are written, and which boxes it
// lets through.

#include "common/result_codes.h"
#include "station/hardware_guard.h"
#include "tests/support/allocation_counter.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace kestrune::station {
namespace {

TEST(HardwareGuard, ReadsModelVersionAndOuiInHexadecimal) {
    const struct {
        const char* hardware;
        const char* oui;
        bool reads;
        uint16_t model;
        int version;      // -1: not checked
        int64_t ouiValue; // -1: not checked
    } rows[] = {
        {"5601", "", true, 0x5601, -1, -1},
        {"0x5601", "", true, 0x5601, -1, -1},
        // As the table's BOX column spells the box.
        {"5601/0203", "", true, 0x5601, 0x0203, -1},
        {"0x5601/0X0203", "", true, 0x5601, 0x0203, -1},
        {"abcd/F", "", true, 0xABCD, 0x000F, -1},
        {"5601", "001122", true, 0x5601, -1, 0x001122},
        {"5601", "00-11-22", true, 0x5601, -1, 0x001122},
        {"5601", "00:a0:b1", true, 0x5601, -1, 0x00A0B1},
        {"5601", "0x00A0B1", true, 0x5601, -1, 0x00A0B1},
        {"5601", "A0B1", true, 0x5601, -1, 0x00A0B1},
        {"22017", "", false, 0, -1, -1}, // the decimal spelling of 0x5601 is too big in hex
        {"10000", "", false, 0, -1, -1},
        {"56 01", "", false, 0, -1, -1},
        {"5601/", "", false, 0, -1, -1},
        {"/0203", "", false, 0, -1, -1},
        {"0x", "", false, 0, -1, -1},
        {"5601", "00-A0-B", false, 0, -1, -1},
        {"5601", "00-A0:B1", false, 0, -1, -1},
        {"5601", "1000000", false, 0, -1, -1},
        {"5601", "0-0A-0B1", false, 0, -1, -1},
    };
    for (const auto& row : rows) {
        HardwareGuard guard;
        const std::string said = parseHardwareGuard(row.hardware, row.oui, guard);
        const std::string what = std::string(row.hardware) + " " + row.oui;
        ASSERT_EQ(said.empty(), row.reads) << what << ": " << said;
        if (!row.reads) {
            EXPECT_NE(said.find("hexadecimal"), std::string::npos) << what << ": " << said;
            continue;
        }
        EXPECT_TRUE(guard.active) << what;
        EXPECT_EQ(guard.model, row.model) << what;
        EXPECT_EQ(guard.checkVersion, row.version >= 0) << what;
        EXPECT_EQ(guard.version, row.version >= 0 ? row.version : 0) << what;
        EXPECT_EQ(guard.checkOui, row.ouiValue >= 0) << what;
        EXPECT_EQ(guard.oui, row.ouiValue >= 0 ? row.ouiValue : 0) << what;
    }
    HardwareGuard guard;
    EXPECT_EQ(parseHardwareGuard("", "", guard), "");
    EXPECT_FALSE(guard.active);
    EXPECT_EQ(parseHardwareGuard("", "00-A0-B1", guard), "--expect-oui needs --expect-hardware");
}

BoxIdentity box(uint16_t model, uint16_t version, bool compact = false) {
    BoxIdentity b;
    b.requestSeen = true;
    b.hardwareDescriptors = 1;
    b.hardware = {true, compact, 1, compact ? 0x00A0u : 0x00A0B1u, model, version, 0};
    return b;
}

TEST(HardwareGuard, ServesOnlyABoxThatShowsItIsTheExpectedHardware) {
    const auto guard = [](uint16_t model, int version, int64_t oui) {
        HardwareGuard g;
        g.active = true;
        g.model = model;
        g.checkVersion = version >= 0;
        g.version = static_cast<uint16_t>(version);
        g.checkOui = oui >= 0;
        g.oui = static_cast<uint32_t>(oui);
        return g;
    };
    BoxIdentity noRequest;
    BoxIdentity noHardware;
    noHardware.requestSeen = true;
    BoxIdentity unreadable = noHardware;
    unreadable.hardwareDescriptors = 1;
    BoxIdentity disagreeing = box(0x5601, 0x0203);
    disagreeing.hardwareDescriptors = 2;
    disagreeing.hardwareDisagrees = true;
    disagreeing.otherHardware = box(0x5602, 0x0203).hardware;
    const BoxIdentity right = box(0x5601, 0x0203);
    using R = BoxRefusal;
    const struct {
        const char* what;
        HardwareGuard guard;
        int requestResult;
        BoxIdentity identity;
        BoxRefusal refusal;
    } rows[] = {
        // Without a guard the course is as always, whatever became of the request.
        {"no guard, no request", HardwareGuard{}, LINK_ERR_RETRIES, noRequest, R::None},
        {"no guard, no hardware", HardwareGuard{}, DSMCC_ERR_COMPATIBILITY, noHardware, R::None},
        {"request failed 10 times", guard(0x5601, -1, -1), LINK_ERR_RETRIES, noRequest,
         R::RequestNotIntact},
        {"no request in time", guard(0x5601, -1, -1), LINK_ERR_IO, noRequest, R::RequestNotIntact},
        // A request that arrived but did not parse: its descriptors are not to be trusted.
        {"malformed request", guard(0x5601, -1, -1), DSMCC_ERR_PROTOCOL, right,
         R::RequestNotIntact},
        {"no reading of a good request", guard(0x5601, -1, -1), LINK_OK, noRequest,
         R::RequestNotIntact},
        {"no type-1 descriptor", guard(0x5601, -1, -1), DSMCC_ERR_COMPATIBILITY, noHardware,
         R::NoHardwareDescriptor},
        {"a short type-1 descriptor", guard(0x5601, -1, -1), LINK_OK, unreadable,
         R::UnreadableHardware},
        {"two that disagree, the last one right", guard(0x5601, -1, -1), LINK_OK, disagreeing,
         R::DisagreeingHardware},
        {"model", guard(0x5601, -1, -1), LINK_OK, right, R::None},
        {"model and version", guard(0x5601, 0x0203, -1), LINK_OK, right, R::None},
        {"model, version and OUI", guard(0x5601, 0x0203, 0x00A0B1), LINK_OK, right, R::None},
        {"a compact descriptor, model", guard(0x5601, -1, -1), LINK_OK, box(0x5601, 0x0203, true),
         R::None},
        {"a compact descriptor has no OUI", guard(0x5601, -1, 0x00A0), LINK_OK,
         box(0x5601, 0x0203, true), R::OtherHardware},
        {"another model", guard(0x5602, -1, -1), LINK_OK, right, R::OtherHardware},
        {"another version", guard(0x5601, 0x0204, -1), LINK_OK, right, R::OtherHardware},
        {"another OUI", guard(0x5601, -1, 0x00A0B2), LINK_OK, right, R::OtherHardware},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(checkBox(row.guard, row.requestResult, row.identity), row.refusal) << row.what;
    }
}

// Under a release the same request rules hold, and the words name the release.
TEST(HardwareGuard, ARefusedBoxUnderAReleaseIsToldInTheReleasesWords) {
    release::Release r;
    r.name = "lot 4711";
    release::ReleaseEntry entry;
    entry.oui = 0x00A0B1;
    entry.model = 0x5601;
    r.entries.push_back(entry);
    BoxIdentity noHardware;
    noHardware.requestSeen = true;
    BoxIdentity disagreeing = box(0x5601, 0x0203);
    disagreeing.hardwareDescriptors = 2;
    disagreeing.hardwareDisagrees = true;
    using R = BoxRefusal;
    const struct {
        int requestResult;
        BoxIdentity identity;
        BoxRefusal refusal;
        int entry;
        const char* words;
    } rows[] = {
        {LINK_ERR_RETRIES, BoxIdentity{}, R::RequestNotIntact, -1,
         "its request never arrived intact (a frame failed 10 attempts, result 513); release lot "
         "4711; it was not served"},
        {DSMCC_ERR_COMPATIBILITY, noHardware, R::NoHardwareDescriptor, -1,
         "it sent no hardware descriptor; release lot 4711; it was not served"},
        {LINK_OK, disagreeing, R::DisagreeingHardware, -1, "; release lot 4711; it was not served"},
        {LINK_OK, box(0x5602, 0x0100), R::NoImage, -1,
         "no image of release lot 4711 for model 0x5602 version 0x0100"},
        {LINK_OK, box(0x5601, 0x0100), R::None, 0, ""},
    };
    for (const auto& row : rows) {
        int chosen = 7;
        EXPECT_EQ(checkReleaseBox(r, row.requestResult, row.identity, chosen), row.refusal)
            << row.words;
        EXPECT_EQ(chosen, row.entry) << row.words;
        const std::string words =
            describeReleaseRefusal(row.refusal, r, row.requestResult, row.identity);
        EXPECT_NE(words.find(row.words), std::string::npos) << words;
    }
}

// The guard's work is done on the session thread, between two frames: without allocating.
TEST(HardwareGuard, ReadsAndJudgesARequestWithoutAllocating) {
    // A DownloadInfoRequest with one full hardware descriptor: OUI 0x00A0B1 model 0x5601.
    const uint8_t request[] = {0x11, 3,    0x10, 0x01, 0,    0,    0,    0,    0xFF, 0, 0, 23,
                               0,    1,    0,    0,    0,    0,    0,    11,   0,    1, 1, 9,
                               1,    0x00, 0xA0, 0xB1, 0x56, 0x01, 0x02, 0x03, 0,    0, 0};
    HardwareGuard guard;
    ASSERT_EQ(parseHardwareGuard("5601", "00-A0-B1", guard), "");
    const auto identity = std::make_unique<BoxIdentity>();
    test::countAllocations(true);
    readBoxIdentity(*identity, request, sizeof request);
    const BoxRefusal refusal = checkBox(guard, LINK_OK, *identity);
    test::countAllocations(false);
    EXPECT_EQ(test::allocationsCounted(), 0);
    EXPECT_EQ(refusal, BoxRefusal::None);
}

} // namespace
} // namespace kestrune::station
