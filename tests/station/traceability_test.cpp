// Who got what: attempt ids, the unit's serial from its descriptor, and the forwarder's pieces
// (the URL, the back-off, the cursor file and one delivery step against a fake receiver).

#include "station/attempt_id.h"
#include "station/forward.h"
#include "station/scan_binder.h"
#include "station/scanner_io.h"
#include "station/unit_serial.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <vector>

namespace kestrune::station {
namespace {

TEST(AttemptId, IsAVersion7UuidThatSortsByTime) {
    const uint8_t ones[10] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t zeros[10] = {};
    // The version and variant bits win over the random ones, and the time leads.
    EXPECT_EQ(uuidV7(0x0190A1B2C3D4, ones), "0190a1b2-c3d4-7fff-bfff-ffffffffffff");
    EXPECT_EQ(uuidV7(0x0190A1B2C3D4, zeros), "0190a1b2-c3d4-7000-8000-000000000000");
    EXPECT_LT(uuidV7(1000, ones), uuidV7(1001, zeros));
    // Random bits from the system: no two alike, even within one millisecond.
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        seen.insert(newUuid());
    }
    EXPECT_EQ(seen.size(), 1000u);
}

// An identity with one descriptor of `type` holding `bytes`.
BoxIdentity withDescriptor(uint8_t type, const std::string& bytes) {
    BoxIdentity identity;
    identity.requestSeen = true;
    identity.descriptors[0] = {1, 0, 0};
    identity.descriptors[1] = {type, 0, static_cast<uint16_t>(bytes.size())};
    identity.descriptorCount = 2;
    std::copy(bytes.begin(), bytes.end(), identity.bytes);
    identity.byteCount = static_cast<uint32_t>(bytes.size());
    return identity;
}

TEST(UnitSerial, IsReadFromTheDescriptorItIsIn) {
    const struct {
        const char* source;
        uint8_t type;
        std::string bytes;
        SerialReading reading;
        const char* serial;
    } rows[] = {
        {"0x40", 0x40, "VB-2000-00123456", SerialReading::Found, "VB-2000-00123456"},
        {"0x41:hex", 0x41, std::string("\x00\x12\x34\x56", 4), SerialReading::Found, "00123456"},
        {"64:ascii", 0x40, "00123457", SerialReading::Found, "00123457"},
        {"0x40", 0x41, "VB-1", SerialReading::Absent, ""},
        {"0x40", 0x40, "", SerialReading::Empty, ""},
        {"0x40", 0x40, std::string(65, 'A'), SerialReading::TooLong, ""},
        {"0x40", 0x40, std::string(64, 'A'), SerialReading::Found, nullptr},
        {"0x40:hex", 0x40, std::string(33, 'A'), SerialReading::TooLong, ""},
        {"0x40", 0x40, "VB 2000", SerialReading::NotPrintable, ""},
        {"0x40", 0x40, "VB\xff", SerialReading::NotPrintable, ""},
    };
    for (const auto& row : rows) {
        SerialSource source;
        ASSERT_EQ(parseSerialSource(row.source, source), "") << row.source;
        std::string serial = "old";
        EXPECT_EQ(readUnitSerial(withDescriptor(row.type, row.bytes), source, serial), row.reading)
            << row.source << " " << row.bytes;
        EXPECT_EQ(serial, row.serial != nullptr ? row.serial : row.bytes) << row.bytes;
        EXPECT_EQ(describeSerialReading(row.reading, source).empty(),
                  row.reading == SerialReading::Found);
    }
    // Only the user's types: the standard's own (1, 2, ...) and 0x80 on are refused.
    for (const char* wrong : {"0x3F", "0x80", "1", "", "0x40:base64", "x40", "0x"}) {
        SerialSource source;
        EXPECT_NE(parseSerialSource(wrong, source), "") << wrong;
        EXPECT_FALSE(source.on) << wrong;
    }
}

TEST(ForwardUrl, TakesOnlyPlainHttp) {
    const struct {
        const char* url;
        const char* host; // nullptr: refused
        int port;
        const char* path;
    } rows[] = {
        {"http://mes.local/api/lines", "mes.local", 80, "/api/lines"},
        {"http://10.0.0.5:8080", "10.0.0.5", 8080, "/"},
        {"http://[::1]:9000/x", "::1", 9000, "/x"},
        {"https://mes.local/", nullptr, 0, nullptr},
        {"http://mes.local:0/", nullptr, 0, nullptr},
        {"http://mes.local:99999/", nullptr, 0, nullptr},
        {"http://:80/", nullptr, 0, nullptr},
        {"http://user@mes/", nullptr, 0, nullptr},
        {"mes.local", nullptr, 0, nullptr},
    };
    for (const auto& row : rows) {
        ForwardTarget target;
        const std::string wrong = parseForwardUrl(row.url, target);
        EXPECT_EQ(wrong.empty(), row.host != nullptr) << row.url << ": " << wrong;
        if (row.host != nullptr) {
            EXPECT_EQ(target.host, row.host);
            EXPECT_EQ(target.port, row.port);
            EXPECT_EQ(target.path, row.path);
        }
    }
}

TEST(Backoff, DoublesFromOneSecondToAMinuteAndStartsAgainAfterASuccess) {
    Backoff backoff;
    std::vector<uint32_t> waits;
    for (int i = 0; i < 9; ++i) {
        waits.push_back(backoff.failed());
    }
    EXPECT_EQ(waits,
              (std::vector<uint32_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
    backoff.succeeded();
    EXPECT_EQ(backoff.failed(), 1000u);
}

TEST(ForwardCursor, ReadsOnlyWhatItWrote) {
    ForwardCursor cursor{123456789012, 4321};
    ForwardCursor read;
    ASSERT_TRUE(parseCursor(formatCursor(cursor), read));
    EXPECT_EQ(read, cursor);
    const std::string good = formatCursor(cursor);
    for (const std::string& broken :
         {std::string(), good.substr(0, good.size() - 1), good + "x", good.substr(1),
          std::string("kestrune forward cursor 1\noffset 5\nlines 6\n"), // more lines than bytes
          std::string("kestrune forward cursor 1\noffset -5\nlines 0\n"),
          std::string("kestrune forward cursor 1\noffset 99999999999999999999\nlines 0\n"),
          std::string("kestrune forward cursor 2\noffset 5\nlines 1\n")}) {
        ForwardCursor untouched{1, 1};
        EXPECT_FALSE(parseCursor(broken, untouched)) << broken;
        EXPECT_EQ(untouched, (ForwardCursor{1, 1}));
    }
}

// A receiver that answers from a script, and remembers what it was sent.
class ScriptedPoster final : public Poster {
public:
    std::vector<PostAnswer> answers; // the next answers, in order; then 201
    std::vector<std::pair<std::string, std::string>> posts;
    PostAnswer post(const std::string& json, const std::string& key) override {
        posts.emplace_back(key, json);
        if (answers.empty()) {
            return {201, "", ""};
        }
        PostAnswer next = answers.front();
        answers.erase(answers.begin());
        return next;
    }
};

class FixedClock final : public ForwardClock {
public:
    int64_t nowMs() override { return 1765139071380; }
};

struct Outbox {
    Outbox() {
        dir = std::filesystem::temp_directory_path() /
              ("kestrune-forward-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        record = (dir / "record.jsonl").string();
    }
    ~Outbox() { std::filesystem::remove_all(dir); }
    void append(const std::string& text) {
        std::ofstream(record, std::ios::app | std::ios::binary) << text;
    }
    std::string read(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::filesystem::path dir;
    std::string record;
};

TEST(Forwarder, DeliversInOrderResumesFromItsCursorAndSetsRefusalsAside) {
    Outbox box;
    box.append("{\"attemptId\":\"a1\"}\n{\"attemptId\":\"a2\"}\n{\"torn\n{\"attemptId\":\"a4\"}\n"
               "{\"attemptId\":\"a5\"}\n{\"port\":\"old\"}\n{\"attemptId\":\"a7\"");
    FixedClock clock;
    ScriptedPoster receiver;
    receiver.answers = {{201, "", ""}, {0, "connect", ""}, {503, "", "busy"},
                        {429, "", ""}, {200, "", ""},      {422, "", "bad lot"}};
    Forwarder forwarder(box.record, "MES", receiver, clock);
    forwarder.open();
    EXPECT_EQ(forwarder.state().pending, 6u); // the last line is not whole yet
    // a1; then a2 fails three times (backing off), then goes through.
    const std::vector<uint32_t> waits = {forwarder.step(), forwarder.step(), forwarder.step(),
                                         forwarder.step(), forwarder.step()};
    EXPECT_EQ(waits, (std::vector<uint32_t>{0, 1000, 2000, 4000, 0}));
    ForwardState s = forwarder.state();
    EXPECT_EQ(s.pending, 4u);
    EXPECT_EQ(s.lastError, "429");
    EXPECT_EQ((std::map<std::string, uint64_t>{{"connect", 1}, {"status", 2}}), s.errors);
    EXPECT_EQ(describeForward(s), "MES: 4 lines behind, last error 429 at 20:24");
    // The torn line and a4 (refused with 422) go to the dead-letter file; the line without an
    // attemptId is named by its hash.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(forwarder.step(), 0u);
    }
    const std::string dead = box.read(Forwarder::deadLetterPath(box.record));
    EXPECT_NE(dead.find("\"why\":\"not a JSON object"), std::string::npos) << dead;
    EXPECT_NE(dead.find("\"status\":422"), std::string::npos) << dead;
    EXPECT_NE(dead.find("\"answer\":\"bad lot\""), std::string::npos) << dead;
    std::vector<std::string> keys;
    for (const auto& [key, json] : receiver.posts) {
        keys.push_back(key.substr(0, 7));
    }
    EXPECT_EQ(keys,
              (std::vector<std::string>{"a1", "a2", "a2", "a2", "a2", "a4", "a5", "sha256-"}));
    EXPECT_EQ(receiver.posts.back().second, "{\"port\":\"old\"}");
    EXPECT_EQ(forwarder.state().pending, 0u);
    EXPECT_EQ(forwarder.step(), 200u); // nothing whole to send: it looks again shortly

    // A restart sends only what came after the cursor.
    box.append("}\n");
    ScriptedPoster again;
    Forwarder restarted(box.record, "MES", again, clock);
    restarted.open();
    EXPECT_EQ(restarted.state().pending, 1u);
    EXPECT_EQ(restarted.step(), 0u);
    ASSERT_EQ(again.posts.size(), 1u);
    EXPECT_EQ(again.posts[0].first, "a7");
    EXPECT_EQ(describeForward(restarted.state()), "MES: up to date");
}

#ifndef _WIN32
// logrotate renames the record: what is left of the old one goes first (a line may still reach
// it before the station reopens), then the new file from its start. (Windows renames no open
// file.)
TEST(Forwarder, FollowsTheRecordThroughARotation) {
    Outbox box;
    const std::string rotated = box.record + ".1";
    box.append("{\"attemptId\":\"a1\"}\n{\"attemptId\":\"a2\"}\n");
    FixedClock clock;
    ScriptedPoster receiver;
    Forwarder forwarder(box.record, "MES", receiver, clock);
    forwarder.open();
    EXPECT_EQ(forwarder.step(), 0u);
    std::filesystem::rename(box.record, rotated);
    EXPECT_EQ(forwarder.step(), 0u);
    std::ofstream(rotated, std::ios::app | std::ios::binary) << "{\"attemptId\":\"a3\"}\n";
    box.append("{\"attemptId\":\"b1\"}\n");
    EXPECT_EQ(forwarder.step(), 0u);
    EXPECT_EQ(forwarder.step(), 0u);
    EXPECT_EQ(forwarder.step(), 200u);
    std::vector<std::string> keys;
    for (const auto& [key, json] : receiver.posts) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"a1", "a2", "a3", "b1"}));
    EXPECT_EQ(box.read(Forwarder::cursorPath(box.record)), formatCursor({19, 1}));
    EXPECT_EQ(forwarder.state().pending, 0u);
}
#endif

TEST(Forwarder, ABrokenOrForeignCursorSendsTheWholeRecordAgain) {
    for (const std::string& cursor :
         {std::string("garbage"), formatCursor({1000, 3})}) { // beyond the record's end
        Outbox box;
        box.append("{\"attemptId\":\"a1\"}\n{\"attemptId\":\"a2\"}\n");
        std::ofstream(Forwarder::cursorPath(box.record), std::ios::binary) << cursor;
        FixedClock clock;
        ScriptedPoster receiver;
        Forwarder forwarder(box.record, "MES", receiver, clock);
        forwarder.open();
        EXPECT_EQ(forwarder.state().pending, 2u) << cursor;
        forwarder.step();
        EXPECT_EQ(box.read(Forwarder::cursorPath(box.record)), formatCursor({19, 1}));
    }
}

} // namespace
} // namespace kestrune::station

namespace kestrune::station {
namespace {

TEST(ScanBinder, BindsASlotsUnitToItsNextBoxAndDropsWhatCouldGoAstray) {
    const std::vector<std::string> slots = {"/dev/ttyUSB0", "A2"};
    // Each row: scans (at 1 s apart from t = 0), then which serial each slot's box takes at
    // `takeAt`, and what the last scan told.
    const struct {
        std::vector<std::string> scans;
        int64_t takeAt;
        const char* usb0; // taken by the box on /dev/ttyUSB0
        const char* a2;
        const char* told; // the start of what the last scan told
    } rows[] = {
        {{"ttyUSB0", "VB-1"}, 5000, "VB-1", "", "VB-1, waiting for the box"},
        {{"/dev/ttyUSB0", "VB-1", "A2", "VB-2"}, 5000, "VB-1", "VB-2", "VB-2, waiting"},
        {{"VB-1"}, 5000, "", "", "the scan VB-1 names no slot"},
        {{"A2", "VB-1", "A2", "VB-2"}, 5000, "", "", "a second unit scanned (VB-2, after VB-1)"},
        {{"A2", "ttyUSB0", "VB-1"}, 5000, "VB-1", "", "VB-1, waiting"}, // the later slot wins
        {{"A2", "VB-1"}, 122000, "", "", "VB-1, waiting"},              // waited too long
        {{"A2", "VB-1", "VB-2"}, 5000, "", "VB-1", "the scan VB-2 names no slot"},
    };
    for (const auto& row : rows) {
        ScanBinder binder(slots, 120000);
        int64_t now = 0;
        ScanBinder::Told told;
        for (const std::string& scan : row.scans) {
            told = binder.scan(scan, now);
            now += 1000;
        }
        EXPECT_EQ(told.text.rfind(row.told, 0), 0u) << told.text;
        EXPECT_EQ(binder.take("/dev/ttyUSB0", row.takeAt), row.usb0) << row.scans.back();
        EXPECT_EQ(binder.take("A2", row.takeAt), row.a2) << row.scans.back();
        // Taken once: the next box on the slot gets nothing.
        EXPECT_EQ(binder.take("A2", row.takeAt), "");
    }
    // A slot scanned long before its unit does not take it.
    ScanBinder late(slots, 120000);
    late.scan("A2", 0);
    EXPECT_EQ(late.scan("VB-1", 121000).slot, "");
    // A slot no longer served drops its scan, and says so.
    ScanBinder binder(slots, 120000);
    binder.scan("A2", 0);
    binder.scan("VB-9", 0);
    EXPECT_EQ(binder.waiting("A2"), "VB-9, waiting for the box");
    const std::vector<ScanBinder::Told> gone = binder.setSlots({"/dev/ttyUSB0"});
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].slot, "A2");
    EXPECT_EQ(binder.take("A2", 1), "");
}

TEST(SlotUnits, TheBoxAndTheScanMustAgreeOnEveryAttempt) {
    const struct {
        const char* box;       // in descriptor 0x40, "" for none
        const char* scan;      // bound to the slot, "" for none
        const char* returning; // a retry's scan from its first attempt; null for a new box
        const char* serial;
        const char* from;
        const char* refusal;
        const char* left; // what the slot waits with after the check
    } rows[] = {
        {"00123456", "00123456", nullptr, "00123456", "box", "", ""},
        {"00123456", "", nullptr, "00123456", "box", "", ""},
        {"", "VB-7", nullptr, "VB-7", "scan", "", ""},
        {"", "", nullptr, "", "", "", ""},
        // A refused box leaves the scan on the slot: the next box there is compared with it.
        {"00123456", "00123457", nullptr, "", "", "the box says 00123456, the scan says 00123457",
         "00123457, waiting for the box"},
        // A retry keeps its own scan; one bound since is the next unit's and stays.
        {"", "VB-8", "VB-7", "VB-7", "scan", "", "VB-8, waiting for the box"},
        {"00123456", "00123456", "00123457", "", "",
         "the box says 00123456, the scan says 00123457", "00123456, waiting for the box"},
        {"00123456", "00123457", "", "00123456", "box", "", "00123457, waiting for the box"},
    };
    for (const auto& row : rows) {
        ScanBoard scans({"A1"}, 120000);
        SerialSource source;
        parseSerialSource("0x40", source);
        SlotUnits units("A1", source, &scans);
        // The binder's times here are near 0 and the check's are the machine's: a long time
        // out keeps the scan.
        scans.binder = ScanBinder({"A1"}, INT64_MAX / 2);
        if (*row.scan) {
            scans.binder.scan("A1", 0);
            scans.binder.scan(row.scan, 0);
        }
        const std::string returning = row.returning != nullptr ? row.returning : "";
        const UnitCheck::Unit unit =
            units.check(*row.box ? withDescriptor(0x40, row.box) : withDescriptor(0x41, "x"),
                        row.returning != nullptr ? &returning : nullptr);
        EXPECT_EQ(unit.serial, row.serial) << row.box << "/" << row.scan;
        EXPECT_EQ(unit.from, row.from);
        EXPECT_EQ(unit.refusal, row.refusal);
        EXPECT_EQ(scans.binder.waiting("A1"), row.left) << row.box << "/" << row.scan;
    }
    // The wrong box, woken again as a new box, is refused again; a new scan of the unit on the
    // slot then replaces the refused one instead of making two.
    ScanBoard scans({"A1"}, INT64_MAX / 2);
    SerialSource source;
    parseSerialSource("0x40", source);
    SlotUnits units("A1", source, &scans);
    scans.binder.scan("A1", 0);
    scans.binder.scan("00123457", 0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(units.check(withDescriptor(0x40, "00123456"), nullptr).refusal,
                  "the box says 00123456, the scan says 00123457");
    }
    scans.binder.scan("A1", 0);
    EXPECT_EQ(scans.binder.scan("00123456", 0).text,
              "00123456, waiting for the box (instead of 00123457)");
    const UnitCheck::Unit unit = units.check(withDescriptor(0x40, "00123456"), nullptr);
    EXPECT_EQ(unit.refusal, "");
    EXPECT_EQ(unit.serial, "00123456");
    EXPECT_EQ(scans.binder.waiting("A1"), "");
}

// What a scanner sends, in the pieces a line delivers it in: the lines the station takes.
TEST(ScanLines, AreCutAtEveryLineEndAndAtTheLongestScan) {
    const std::string longest(MAX_SCAN_LINE, 'A');
    const struct {
        std::vector<std::string> pieces;
        std::vector<std::string> lines;
        std::string left; // a line not yet whole
    } rows[] = {
        {{"A1\r\nVB-2000-00123456\r\n"}, {"A1", "VB-2000-00123456"}, ""},
        {{"A1\r", "\nVB-20", "00\n"}, {"A1", "VB-2000"}, ""},
        {{"\n\r\n\rA1"}, {}, "A1"},
        {{"A1\rB2\nC3"}, {"A1", "B2"}, "C3"},
        {{longest + "B"}, {longest}, "B"},
        {{longest + "\n"}, {longest}, ""},
    };
    for (const auto& row : rows) {
        std::string pending, line;
        std::vector<std::string> lines;
        for (const std::string& piece : row.pieces) {
            pending += piece;
            while (takeScanLine(pending, line)) {
                lines.push_back(line);
            }
        }
        EXPECT_EQ(lines, row.lines) << row.pieces[0].substr(0, 20);
        EXPECT_EQ(pending, row.left) << row.pieces[0].substr(0, 20);
    }
}

TEST(ScanBinder, ALineIsItsPrintableTextAndNoMore) {
    bool tooLong = true;
    EXPECT_EQ(scanText("\x02VB-2000-00123456\r", tooLong), "VB-2000-00123456");
    EXPECT_FALSE(tooLong);
    EXPECT_EQ(scanText("  lot 7  ", tooLong), "lot 7");
    EXPECT_EQ(scanText("\x1b[A\t", tooLong), "[A");
    EXPECT_EQ(scanText(std::string(MAX_SCAN + 1, 'x'), tooLong), "");
    EXPECT_TRUE(tooLong);
}

} // namespace
} // namespace kestrune::station
