// The release file read, its refusals, and which entry a box's reading fits.
#include "release/release.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace kestrune::release {
namespace {

const std::string SHA(64, 'a');

// One entry's object, with `extra` members after the required ones.
std::string entry(const std::string& label, const std::string& extra) {
    return "{\"file\": \"" + label + ".dl\", \"label\": \"" + label +
           "\", \"size\": 100, \"sha256\": \"" + SHA + "\", \"oui\": \"00-A0-B1\"" +
           (extra.empty() ? "" : ", " + extra) + "}";
}

// A release of these entries (joined with commas), with `top` members before them.
std::string release(const std::string& entries, const std::string& top = "") {
    return "{\"name\": \"lot 4711\", " + top + "\"images\": [" + entries + "]}";
}

TEST(ReleaseFile, ReadsEntriesAndResolvesTheirFiles) {
    Release r;
    ASSERT_EQ(
        parseRelease("// lot 4711, for the spring run\n" +
                         release(entry("a", R"("model": "0x5601", "version": "0x0203")") + ", " +
                                     entry("b", R"("model": 22018, "over": {"from": 1, "to": 3})"),
                                 R"("expires": "2027-03-31T20:00:00+02:00", )"),
                     "rel", r),
        "");
    EXPECT_EQ(r.name, "lot 4711");
    ASSERT_TRUE(r.expires);
    EXPECT_EQ(r.expiresMs, 1806516000000); // 2027-03-31T18:00:00Z
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].path, (std::filesystem::path("rel") / "a.dl").string());
    EXPECT_EQ(r.entries[0].oui, 0x00A0B1u);
    EXPECT_EQ(r.entries[1].model, 0x5602);
    EXPECT_FALSE(r.entries[0].versions.any);
    EXPECT_EQ(r.entries[0].versions.from, 0x0203);
    EXPECT_TRUE(r.entries[1].versions.any);
    EXPECT_EQ(r.entries[1].over.to, 3);
}

TEST(ReleaseFile, RefusalsNameTheEntry) {
    const struct {
        std::string text;
        std::string words;
    } cases[] = {
        {"{\"name\": ", "it is not JSON: line 1"},
        {"{\n\"name\": \"x\",\n\"images\": [}", "it is not JSON: line 3"},
        {"[]", "it is not a JSON object"},
        {R"({"images": []})", "it needs a name"},
        {release(""), "it needs at least one image"},
        {release(entry("a", R"("model": 1)"), R"("colour": 1, )"), "unknown key colour"},
        {release(entry("a", R"("model": 1)"), R"("expires": "2027-03-31T18:00:00", )"),
         "its expires needs a date and time with its zone"},
        {release(entry("a", R"("model": 1)"), R"("expires": "2027-02-30T18:00:00Z", )"),
         "its expires needs a date and time"},
        {release("3"), "image 1 is not an object"},
        {release(entry("a", R"("model": 1, "modle": 2)")), "image 1 has an unknown key modle"},
        {release(entry("a", "")), "image 1 (a, a.dl) needs the boxes' hardware model"},
        {release(entry("a", R"("model": "0x10000")")), "image 1 (a, a.dl) needs the boxes'"},
        {release(entry("a", R"("model": -1)")), "image 1 (a, a.dl) needs the boxes'"},
        {release(entry("a", R"("model": 1, "version": "02 03")")),
         "image 1 (a, a.dl) has a version that is neither a version"},
        {release(entry("a", R"("model": 1, "over": {"from": 1})")), "has a over that is neither"},
        {release(entry("a", R"("model": 1, "version": {"from": 3, "to": 2})")),
         "image 1 (a, a.dl) fits no box: its version range 0x0003-0x0002 is empty"},
        {release(entry("a", R"("model": 1, "over": {"from": 9, "to": 2})")),
         "image 1 (a, a.dl) fits no box: its over range"},
        {release(R"({"file": "x.dl", "label": ""})"), "image 1 needs a label"},
        {release(R"({"label": "x"})"), "image 1 needs a file"},
        {release(R"({"label": "x", "file": "x.dl", "sha256": "abc"})"),
         "image 1 (x, x.dl) needs a sha256 of 64 hexadecimal digits"},
        {release(entry("a", R"("model": 1)") + ", " + entry("a", R"("model": 2)")),
         "image 2 (a, a.dl) has the label of image 1 (a, a.dl)"},
        // Overlaps: the same hardware by versions, or by "over" ranges that meet.
        {release(entry("a", R"("model": 1)") + ", " + entry("b", R"("model": 1, "version": 5)")),
         "image 1 (a, a.dl) and image 2 (b, b.dl) would both fit a box of OUI 0x00A0B1 model "
         "0x0001 version 0x0005"},
        {release(entry("a", R"("model": 1, "version": {"from": 1, "to": 5})") + ", " +
                 entry("b", R"("model": 1, "version": {"from": 5, "to": 9})")),
         "would both fit"},
        {release(entry("a", R"("model": 1, "over": {"from": 1, "to": 5})") + ", " +
                 entry("b", R"("model": 1, "over": {"from": 5, "to": 9})")),
         "would both fit"},
    };
    for (const auto& c : cases) {
        Release r;
        const std::string problem = parseRelease(c.text, "", r);
        EXPECT_NE(problem.find(c.words), std::string::npos) << c.text << "\n-> " << problem;
    }
    // Ranges that only touch do not overlap, nor do two OUIs or two models.
    Release r;
    EXPECT_EQ(
        parseRelease(release(entry("a", R"("model": 1, "version": {"from": 1, "to": 4})") + ", " +
                             entry("b", R"("model": 1, "version": {"from": 5, "to": 9})") + ", " +
                             entry("c", R"("model": 2)") + ", " +
                             entry("d", R"("model": 1, "version": 10, "over": 1)") + ", " +
                             entry("e", R"("model": 1, "version": 10, "over": 2)")),
                     "", r),
        "");
}

SystemDescriptor full(uint32_t oui, uint16_t model, uint16_t version) {
    SystemDescriptor d;
    d.present = true;
    d.specifierType = 1;
    d.specifierData = oui;
    d.model = model;
    d.version = version;
    return d;
}

TEST(ReleaseMatch, EachBoxFitsOneEntryOrNone) {
    Release r;
    ASSERT_EQ(parseRelease(release(entry("a", R"("model": "0x5601")") + ", " +
                                   entry("b", R"("model": "5602", "version": {"from": "0x0100", )"
                                              R"("to": "0x01FF"}, "over": {"from": 1, "to": 2})") +
                                   ", " + entry("c", R"("model": "0x5602", "version": "0x0203")")),
                           "", r),
              "");
    SystemDescriptor compact = full(0x00A0B1, 0x5601, 1);
    compact.compact = true;
    const SystemDescriptor noSoftware;
    const SystemDescriptor software1 = full(0x00A0B1, 0x0001, 1);
    const SystemDescriptor software3 = full(0x00A0B1, 0x0001, 3);
    const struct {
        SystemDescriptor hardware;
        SystemDescriptor software;
        int entry;
        std::string words;
    } cases[] = {
        {full(0x00A0B1, 0x5601, 0x0000), noSoftware, 0, ""},
        {full(0x00A0B1, 0x5601, 0xFFFF), noSoftware, 0, ""},
        {full(0x00A0B1, 0x5602, 0x0100), software1, 1, ""},
        {full(0x00A0B1, 0x5602, 0x01FF), full(0, 0, 2), 1, ""},
        {full(0x00A0B1, 0x5602, 0x0203), noSoftware, 2, ""},
        {full(0x00A0B1, 0x5602, 0x0200), software1, -1,
         "no image of release lot 4711 for model 0x5602 version 0x0200"},
        {full(0x00A0B1, 0x5603, 0x0100), software1, -1,
         "no image of release lot 4711 for model 0x5603 version 0x0100"},
        {full(0x00A0B2, 0x5601, 0x0100), noSoftware, -1,
         "no image of release lot 4711 for OUI 0x00A0B2 model 0x5601 version 0x0100"},
        {compact, noSoftware, -1,
         "for model 0x5601 version 0x0001 (its hardware descriptor carries no OUI)"},
        {full(0x00A0B1, 0x5602, 0x0100), software3, -1,
         "model 0x5602 version 0x0100 over software version 0x0003"},
        {full(0x00A0B1, 0x5602, 0x0100), noSoftware, -1,
         "model 0x5602 version 0x0100 without a software descriptor"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(findEntry(r, c.hardware, c.software), c.entry) << c.words;
        if (c.entry < 0) {
            EXPECT_NE(describeNoEntry(r, c.hardware, c.software).find(c.words), std::string::npos)
                << describeNoEntry(r, c.hardware, c.software);
        }
    }
}

TEST(ReleaseExpiry, ExpiresAtItsMomentExactly) {
    Release r;
    ASSERT_EQ(parseRelease(release(entry("a", R"("model": 1)"),
                                   R"("expires": "1970-01-01T00:00:01.500Z", )"),
                           "", r),
              "");
    EXPECT_FALSE(expired(r, 1499));
    EXPECT_TRUE(expired(r, 1500));
    r.expires = false;
    EXPECT_FALSE(expired(r, INT64_MAX));
}

} // namespace
} // namespace kestrune::release
