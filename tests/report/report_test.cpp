// The report: which lines are record lines, how boxes, retries, filters and station time are
// counted, and the three formats read back by a parser.

#include "report/formats.h"
#include "report/read_records.h"
#include "report/record_line.h"
#include "report/summary.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kestrune::report {
namespace {

using nlohmann::json;

const std::string SHA_A(64, 'a');
const std::string SHA_B(64, 'b');

struct Attempt {
    const char* start;
    const char* port;
    const char* session; // "" for null
    unsigned attempt;
    const char* outcome;
    double seconds;
    unsigned inRow = 0;
    const char* reason = "";
    const std::string* sha = &SHA_A;
};

// A line as the station writes it, with a box field whose inner keys must not count.
std::string lineOf(const Attempt& a) {
    int64_t start = 0;
    EXPECT_TRUE(parseTime(a.start, start)) << a.start;
    json j;
    j["start"] = a.start;
    j["end"] = formatTime(start + int64_t(a.seconds * 1000));
    j["port"] = a.port;
    j["boxSession"] = *a.session ? json(a.session) : json(nullptr);
    j["attempt"] = a.attempt;
    j["failuresInRow"] = a.inRow;
    j["image"] = a.sha == &SHA_A ? "a.dl" : "b.dl";
    j["imageSize"] = 34863;
    j["imageSha256"] = *a.sha;
    j["box"] = {{"port", "inside"}, {"outcome", "aborted"}, {"descriptors", json::array({1, 2})}};
    j["outcome"] = a.outcome;
    j["reason"] = *a.reason ? json(a.reason) : json(nullptr);
    j["durationSeconds"] = a.seconds;
    return j.dump();
}

struct TempFile {
    explicit TempFile(const std::string& text) {
        // CTest runs each test in a process of its own, side by side: the test's name keeps
        // their files apart (std::rand() starts alike in every process).
        static int made = 0;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path = (std::filesystem::temp_directory_path() /
                ("kestrune-report-" + std::string(test->name()) + "-" + std::to_string(++made) +
                 ".jsonl"))
                   .string();
        std::ofstream(path, std::ios::binary) << text;
    }
    ~TempFile() { std::filesystem::remove(path); }
    std::string path;
};

const char* R1 = "the box ended the download after 4,096 of 34,768 module bytes";
const char* R2 = "no box woke up within 20 s";
const char* R3 = "the box is hardware model 0x5602, not the hardware model 0x5601 expected";

// Two days on three ports: retries that saved a box (one across midnight), a port failure, a
// wrong box of a second image, a suspect port, and three lines that are not record lines.
std::string shift() {
    std::string r;
    const auto add = [&r](const Attempt& a, const char* end = "\n") { r += lineOf(a) + end; };
    add({"2026-12-07T06:00:00.000Z", "U0", "s1", 1, "complete", 7.0});
    add({"2026-12-07T06:00:10.000Z", "U1", "s2", 1, "complete", 6.0}, "\r\n");
    r += "{\"start\":\"2026-12-07T06:00:20.000Z\",\"port\":\"U1\",\"outc\n"; // torn
    add({"2026-12-07T06:01:00.000Z", "U0", "s3", 1, "download error", 5.0, 1, R1});
    add({"2026-12-07T06:01:10.000Z", "U0", "s3", 2, "complete", 8.0});
    r += "not json at all\n\n";
    add({"2026-12-07T06:02:00.000Z", "U1", "", 1, "port failure", 0.0, 1, "U1 went away"});
    add({"2026-12-07T06:05:00.000Z", "U1", "s4", 1, "wrong box", 1.0, 1, R3, &SHA_B});
    r += "{\"start\":\"2026-12-07T06:06:00.000Z\",\"port\":\"U1\"}\n"; // no outcome
    add({"2026-12-07T06:06:00.000Z", "U1", "s5", 1, "complete", 9.0, 0, "", &SHA_B});
    add({"2026-12-07T23:59:50.000Z", "U0", "s6", 1, "download error", 5.0, 1, R1});
    add({"2026-12-08T00:00:05.000Z", "U0", "s6", 2, "complete", 10.0});
    add({"2026-12-08T10:00:00.000Z", "U2", "s7", 1, "not responding", 20.0, 1, R2});
    add({"2026-12-08T10:01:00.000Z", "U2", "s8", 1, "not responding", 20.0, 2, R2});
    add({"2026-12-08T10:02:00.000Z", "U2", "s9", 1, "not responding", 20.0, 3, R2});
    add({"2026-12-08T10:03:00.000Z", "U0", "s10", 1, "complete", 7.5}, ""); // no line feed
    return r;
}

// A machine at `offsetHours` from UTC (no summer time), at `now`.
LocalTime zoneAt(int offsetHours, int64_t nowMs = 0) {
    const int64_t offset = int64_t(offsetHours) * 3600000;
    return {nowMs, [offset](int64_t utc) { return utc + offset; },
            [offset](int64_t local) { return local - offset; }};
}

Filter filterOf(const char* since, const char* until, std::vector<std::string> ports) {
    Filter f;
    EXPECT_TRUE(!*since || f.setSince(since, zoneAt(0))) << since;
    EXPECT_TRUE(!*until || f.setUntil(until, zoneAt(0))) << until;
    f.ports = std::move(ports);
    return f;
}

Summary summarise(const std::vector<std::string>& paths, const Filter& filter,
                  uint32_t suspectAfter = 3, size_t bufferBytes = MAX_LINE_BYTES) {
    Summariser s(filter, suspectAfter);
    for (const std::string& path : paths) {
        EXPECT_EQ(readRecordFile(path, s, bufferBytes).error, 0);
    }
    return s.finish();
}

const PortRow* portRow(const Summary& s, const std::string& port) {
    for (const PortRow& row : s.ports) {
        if (row.port == port) {
            return &row;
        }
    }
    return nullptr;
}

TEST(Summary, CountsBoxesRetriesAndFiltersPerWindowAndPort) {
    const TempFile record(shift());
    struct Case {
        const char* name;
        const char* since;
        const char* until;
        std::vector<std::string> ports;
        uint64_t boxes, complete, retriesSaved, portFailures, wrongBoxes, notResponding;
        std::vector<std::string> portsShown;
        // Of every attempt that started in the window, on every port.
        double stationSeconds;
    };
    const Case cases[] = {
        {"everything", "", "", {}, 10, 6, 2, 1, 1, 3, {"U0", "U1", "U2"}, 581.5},
        // s6 began on the first day: none of its attempts is counted on the second.
        {"since a date", "2026-12-08", "", {}, 4, 1, 0, 0, 0, 3, {"U0", "U2"}, 10 + 187.5},
        // A date as --until keeps the whole day, and s6's attempt after midnight with it.
        {"until a date", "", "2026-12-07", {}, 6, 5, 2, 1, 1, 0, {"U0", "U1"}, 369 + 5},
        // 07:00+01:00 is 06:00 UTC; --until is exclusive: s3 starts at 06:01:00.
        {"zoned window",
         "2026-12-07T07:00:00+01:00",
         "2026-12-07T06:01:00Z",
         {},
         2,
         2,
         0,
         0,
         0,
         0,
         {"U0", "U1"},
         16},
        {"two ports", "", "", {"U0", "U2"}, 7, 4, 2, 0, 0, 3, {"U0", "U2"}, 581.5},
        {"no such port", "", "", {"U9"}, 0, 0, 0, 0, 0, 0, {}, 581.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Summary s = summarise({record.path}, filterOf(c.since, c.until, c.ports));
        EXPECT_EQ(s.total.boxes, c.boxes);
        EXPECT_EQ(s.total.complete, c.complete);
        EXPECT_EQ(s.total.failed(), c.boxes - c.complete);
        EXPECT_EQ(s.total.retriesSaved, c.retriesSaved);
        EXPECT_EQ(s.total.portFailures, c.portFailures);
        EXPECT_EQ(s.total.failedBy[size_t(Outcome::WrongBox)], c.wrongBoxes);
        EXPECT_EQ(s.total.failedBy[size_t(Outcome::NotResponding)], c.notResponding);
        EXPECT_DOUBLE_EQ(s.total.stationSeconds, c.stationSeconds);
        std::vector<std::string> shown;
        uint64_t sum = 0;
        for (const PortRow& row : s.ports) {
            shown.push_back(row.port);
            sum += row.counts.boxes;
        }
        EXPECT_EQ(shown, c.portsShown);
        EXPECT_EQ(sum, c.boxes);
        ASSERT_EQ(s.files.size(), 1u);
        EXPECT_EQ(s.files[0].lines, 16u);
        EXPECT_EQ(s.files[0].skipped, 3u);
    }
}

TEST(Summary, PortsImagesTimesAndSuspects) {
    const TempFile record(shift());
    const Summary s = summarise({record.path}, {});
    const PortRow* u0 = portRow(s, "U0");
    const PortRow* u2 = portRow(s, "U2");
    ASSERT_TRUE(u0 && u2);
    EXPECT_EQ(u0->counts.boxes, 4u);
    EXPECT_EQ(u0->counts.retriesSaved, 2u);
    EXPECT_FALSE(u0->suspect);
    EXPECT_TRUE(u2->suspect);
    EXPECT_EQ(u2->failuresInRow, 3u);
    EXPECT_EQ(portRow(s, "U1")->counts.portFailures, 1u);

    ASSERT_EQ(s.images.size(), 2u);
    EXPECT_EQ(s.images[0].image, "a.dl");
    EXPECT_EQ(s.images[0].counts.boxes, 8u);
    EXPECT_EQ(s.images[1].sha256, SHA_B);
    EXPECT_EQ(s.images[1].counts.boxes, 2u);
    EXPECT_EQ(s.images[1].counts.complete, 1u);
    EXPECT_EQ(s.images[1].counts.reasons.at(R3), 1u);
    EXPECT_EQ(s.total.reasons.at(R2), 3u);

    // Complete attempts: 6, 7, 7.5, 8, 9, 10 s. Nearest rank: the 3rd and the 6th.
    EXPECT_DOUBLE_EQ(s.total.downloads.quantile(0.5), 7.5);
    EXPECT_DOUBLE_EQ(s.total.downloads.quantile(0.95), 10.0);

    // Three spans, the gaps of the night and the morning left out: 06:00:00-06:06:09,
    // 23:59:50-00:00:15, 10:00:00-10:03:07.5.
    EXPECT_DOUBLE_EQ(s.total.stationSeconds, 369 + 25 + 187.5);
    EXPECT_NEAR(s.total.boxesPerHour(), 6 * 3600 / 581.5, 1e-9);
    EXPECT_EQ(formatTime(s.firstStartMs), "2026-12-07T06:00:00.000Z");
    EXPECT_EQ(formatTime(s.lastEndMs), "2026-12-08T10:03:07.500Z");

    // The station's threshold is the report's to choose.
    EXPECT_TRUE(portRow(summarise({record.path}, {}, 2), "U2")->suspect);
    EXPECT_FALSE(portRow(summarise({record.path}, {}, 4), "U2")->suspect);
}

TEST(Summary, FilesAddUpAndABoxEndsWhenItsPortMovesOn) {
    // The same shift twice in two files: twice the boxes and twice the station time.
    const TempFile one(shift()), two(shift());
    const Summary s = summarise({one.path, two.path}, {});
    EXPECT_EQ(s.total.boxes, 20u);
    EXPECT_DOUBLE_EQ(s.total.stationSeconds, 2 * 581.5);
    EXPECT_DOUBLE_EQ(portRow(s, "U2")->counts.stationSeconds, 2 * 581.5);

    // A box's session that comes back after another line of its port is a box of its own.
    std::string r;
    r += lineOf({"2026-12-07T06:00:00.000Z", "U0", "x1", 1, "download error", 5, 1, R1}) + "\n";
    r += lineOf({"2026-12-07T06:00:10.000Z", "U0", "x2", 1, "complete", 5}) + "\n";
    r += lineOf({"2026-12-07T06:00:20.000Z", "U0", "x1", 2, "complete", 5}) + "\n";
    const TempFile three(r);
    const Summary t = summarise({three.path}, {});
    EXPECT_EQ(t.total.boxes, 3u);
    EXPECT_EQ(t.total.retriesSaved, 1u);
}

TEST(Summary, APortFailureWithABoxOnItAndReasonsBeyondTheLimit) {
    std::string r;
    // The box's port went away during its download: a failed box and a port failure.
    r +=
        lineOf({"2026-12-07T06:00:00.000Z", "U0", "p1", 1, "port failure", 3, 1, "U0 went"}) + "\n";
    // 70 boxes failing for 70 different reasons.
    for (int i = 0; i < 70; ++i) {
        const std::string session = "f" + std::to_string(i);
        const std::string reason = "reason " + std::to_string(i);
        r += lineOf({"2026-12-07T07:00:00.000Z", "U1", session.c_str(), 1, "download error", 3, 1,
                     reason.c_str()}) +
             "\n";
    }
    const TempFile record(r);
    const Summary s = summarise({record.path}, {});
    EXPECT_EQ(s.total.boxes, 71u);
    EXPECT_EQ(s.total.failedBy[size_t(Outcome::PortFailure)], 1u);
    EXPECT_EQ(s.total.portFailures, 1u);
    EXPECT_EQ(s.total.reasons.size(), Counts::MAX_REASONS);
    uint64_t sum = 0;
    for (const auto& [reason, count] : s.total.reasons) {
        sum += count;
    }
    EXPECT_EQ(sum, 71u);
    EXPECT_EQ(s.total.reasons.at(""), 71u - (Counts::MAX_REASONS - 1));
}

TEST(ReadRecords, LinesAcrossTheBufferAreWhole) {
    // A small buffer and many of its sizes' worth, so that lines straddle every boundary; the
    // last one torn.
    const std::string line =
        lineOf({"2026-12-07T06:00:00.000Z", "PORT", "SESSION", 1, "complete", 7.0}) + "\n";
    const size_t port = line.find("PORT"), session = line.find("SESSION");
    std::string r;
    size_t lines = 0;
    const size_t buffer = 2 * line.size() + 77;
    while (r.size() < 40 * buffer) {
        std::string next = line;
        // The later one first, so that the earlier one's place stands.
        const auto setPort = [&] { next.replace(port, 4, lines % 2 ? "U0" : "U1"); };
        const auto setSession = [&] { next.replace(session, 7, std::to_string(lines)); };
        port > session ? (setPort(), setSession()) : (setSession(), setPort());
        r += next;
        ++lines;
    }
    r += "{\"start\":";
    const TempFile record(r);
    const Summary s = summarise({record.path}, {}, 3, buffer);
    ASSERT_EQ(s.files.size(), 1u);
    EXPECT_EQ(s.files[0].lines, lines + 1);
    EXPECT_EQ(s.files[0].skipped, 1u);
    EXPECT_EQ(s.total.boxes, lines);
    EXPECT_EQ(s.total.complete, lines);
}

TEST(RecordLine, WhatIsARecordLine) {
    const std::string whole = lineOf({"2026-12-07T06:00:00.000Z", "U0", "s1", 2, "complete", 7});
    const std::string short_ =
        "{\"start\":\"2026-12-07T06:00:00Z\",\"port\":\"U0\",\"outcome\":\"complete\",";
    struct Case {
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {whole, true},
        {whole.substr(0, whole.size() - 1), false}, // torn
        {whole + "}", false},
        {whole + " x", false},
        {"[" + whole + "]", false},
        {"42", false},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":\"U0\",\"outcome\":\"complete\"}", true},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":\"U0\",\"outcome\":\"finished\"}", false},
        {"{\"start\":\"yesterday\",\"port\":\"U0\",\"outcome\":\"complete\"}", false},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":\"\",\"outcome\":\"complete\"}", false},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":null,\"outcome\":\"complete\"}", false},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"outcome\":\"complete\"}", false},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":\"U0\",\"outcome\":\"complete\","
         "\"attempt\":\"2\"}",
         false},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":\"U0\",\"outcome\":\"complete\","
         "\"attempt\":-1}",
         false},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":{\"name\":\"U0\"},\"outcome\":\"complete\"}",
         false},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":\"U0\",\"outcome\":\"complete\","
         "\"extra\":{\"attempt\":\"x\",\"port\":[1]}}",
         true},
        {"{\"start\":\"2026-12-07T06:00:00Z\",\"port\":\"U\xff\",\"outcome\":\"complete\"}", false},
        // Figures no download can have: past the histogram's 11 days, infinite, or an end
        // centuries after the start.
        {short_ + "\"durationSeconds\":950400}", true},
        {short_ + "\"durationSeconds\":950400.5}", false},
        {short_ + "\"durationSeconds\":1e300}", false},
        {short_ + "\"durationSeconds\":1e400}", false},
        {short_ + "\"durationSeconds\":18446744073709551615}", false},
        {short_ + "\"durationSeconds\":-0.5}", false},
        {short_ + "\"end\":\"2026-12-18T06:00:00Z\"}", true},
        {short_ + "\"end\":\"9999-12-31T23:59:59Z\"}", false},
        {short_ + "\"end\":\"1970-01-01T00:00:00Z\"}", true}, // a clock that went back
    };
    for (const Case& c : cases) {
        RecordLine line;
        EXPECT_EQ(parseRecordLine(c.text, line), c.ok) << c.text;
    }
    RecordLine line;
    ASSERT_TRUE(parseRecordLine(whole, line));
    // The box's own "port" and "outcome" are inside it: they do not count.
    EXPECT_EQ(line.port, "U0");
    EXPECT_EQ(line.outcome, Outcome::Complete);
    EXPECT_EQ(line.boxSession, "s1");
    EXPECT_EQ(line.attempt, 2u);
    EXPECT_EQ(line.imageSha256, SHA_A);
    EXPECT_DOUBLE_EQ(line.seconds(), 7.0);
    // A negative zero is a zero: "-0" in a CSV cell is a formula to a spreadsheet.
    ASSERT_TRUE(parseRecordLine(short_ + "\"durationSeconds\":-0e400}", line));
    EXPECT_FALSE(std::signbit(line.seconds()));
    // A later line without the optional fields does not inherit them.
    ASSERT_TRUE(parseRecordLine(
        "{\"start\":\"2026-12-07T06:00:00Z\",\"end\":\"2026-12-07T06:00:02.5Z\",\"port\":\"U0\","
        "\"outcome\":\"port failure\"}",
        line));
    EXPECT_EQ(line.boxSession, "");
    EXPECT_EQ(line.attempt, 1u);
    EXPECT_EQ(line.imageSha256, "");
    EXPECT_DOUBLE_EQ(line.seconds(), 2.5);
}

TEST(RecordLine, Times) {
    struct Case {
        const char* text;
        bool ok;
        const char* utc; // formatTime of the result
        bool dateOnly;
    };
    const Case cases[] = {
        {"2026-12-07T20:24:31.380Z", true, "2026-12-07T20:24:31.380Z", false},
        {"2026-12-07T20:24:31Z", true, "2026-12-07T20:24:31.000Z", false},
        {"2026-12-07 20:24:31", true, "2026-12-07T20:24:31.000Z", false},
        {"2026-12-07T20:24", true, "2026-12-07T20:24:00.000Z", false},
        {"2026-12-07T21:24:31.3804+01:00", true, "2026-12-07T20:24:31.380Z", false},
        {"2026-12-07T19:54:31-0030", true, "2026-12-07T20:24:31.000Z", false},
        {"2026-12-08T00:30+01", true, "2026-12-07T23:30:00.000Z", false},
        {"2026-12-07", true, "2026-12-07T00:00:00.000Z", true},
        {"2028-02-29", true, "2028-02-29T00:00:00.000Z", true},
        {"1969-12-31T23:59:59.999Z", true, "1969-12-31T23:59:59.999Z", false},
        {"2026-02-29", false, "", false},
        {"2026-13-01", false, "", false},
        {"2026-12-7", false, "", false},
        {"2026-12-07T24:00", false, "", false},
        {"2026-12-07T20:24:31.Z", false, "", false},
        {"2026-12-07T20:24:31Zjunk", false, "", false},
        {"2026-12-07T20", false, "", false},
        {"", false, "", false},
    };
    for (const Case& c : cases) {
        int64_t ms = 0;
        bool dateOnly = false;
        ASSERT_EQ(parseTime(c.text, ms, &dateOnly), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(formatTime(ms), c.utc) << c.text;
            EXPECT_EQ(dateOnly, c.dateOnly) << c.text;
        }
    }
}

TEST(DurationHistogram, QuantilesWithinOnePercent) {
    struct Case {
        const char* name;
        std::vector<double> values;
        double median, p95;
    };
    std::vector<double> thousand;
    for (int i = 1; i <= 1000; ++i) {
        thousand.push_back(i * 0.1); // 0.1 s to 100 s
    }
    std::vector<double> skewed(90, 7.0);
    skewed.insert(skewed.end(), 10, 60.0);
    const Case cases[] = {
        {"one", {7.123}, 7.123, 7.123},
        {"two", {3.0, 900.0}, 3.0, 900.0},
        {"even spread", thousand, 50.0, 95.0},
        {"a slow tail", skewed, 7.0, 60.0},
        {"below a millisecond", {0.0, 0.0, 0.0005}, 0.0, 0.0005},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DurationHistogram h;
        for (const double v : c.values) {
            h.add(v);
        }
        EXPECT_NEAR(h.quantile(0.5), c.median, std::max(c.median * 0.01, 0.001));
        EXPECT_NEAR(h.quantile(0.95), c.p95, std::max(c.p95 * 0.01, 0.001));
    }
    EXPECT_EQ(DurationHistogram().quantile(0.5), 0.0);
}

TEST(ReadRecords, LongLinesAndFilesThatCannotBeRead) {
    // A line longer than the buffer is skipped whole, and the line after it still counts.
    const std::string ok = lineOf({"2026-12-07T06:00:00.000Z", "U0", "s1", 1, "complete", 7});
    const TempFile record(ok + "\n" + std::string(5 * ok.size(), 'x') + "\n" + ok + "\n");
    const Summary s = summarise({record.path}, {}, 3, 2 * ok.size());
    ASSERT_EQ(s.files.size(), 1u);
    EXPECT_EQ(s.files[0].lines, 3u);
    EXPECT_EQ(s.files[0].skipped, 1u);
    EXPECT_EQ(s.total.boxes, 1u); // the same session twice in a row: one box

    Summariser summariser({}, 3);
    const ReadFailure missing = readRecordFile(record.path + ".none", summariser);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_TRUE(missing.opening);
    // A folder opens on POSIX and fails to read; on Windows it fails to open.
    const ReadFailure folder =
        readRecordFile(std::filesystem::temp_directory_path().string(), summariser);
    EXPECT_NE(folder.error, 0);
}

// RFC 4180: fields split by commas, quoted ones may hold commas, quotes ("") and line breaks;
// records end with CR LF.
std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().push_back(field);
            field.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(field);
            field.clear();
            rows.emplace_back();
            ++i;
        } else {
            field += c;
        }
    }
    EXPECT_TRUE(rows.back().empty() && field.empty()) << "the last record has no CR LF";
    rows.pop_back();
    return rows;
}

TEST(Formats, CsvAndJsonReadBackToTheSameNumbers) {
    const char* odd = "COM\"7\", by the door";
    const char* reason = "refused, then\nsilent";
    std::string r = shift() + "\n";
    r += lineOf({"2026-12-08T11:00:00.000Z", odd, "o1", 1, "download error", 4, 1, reason}) + "\n";
    const TempFile record(r);
    const Summary s = summarise({record.path}, {});

    const auto rows = parseCsv(csvReport(s));
    ASSERT_GT(rows.size(), 1u);
    const std::vector<std::string>& header = rows[0];
    const auto column = [&header](const std::string& name) {
        const auto at = std::find(header.begin(), header.end(), name);
        EXPECT_NE(at, header.end()) << name;
        return size_t(at - header.begin());
    };
    int seen = 0;
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), header.size());
        if (row[column("scope")] == "total") {
            EXPECT_EQ(row[column("boxes")], "11");
            EXPECT_EQ(row[column("complete")], "6");
            EXPECT_EQ(row[column("downloadError")], "1");
            EXPECT_EQ(row[column("retriesSaved")], "2");
            EXPECT_EQ(row[column("medianSeconds")], "7.500");
            ++seen;
        }
        if (row[column("scope")] == "port" && row[column("port")] == odd) {
            EXPECT_EQ(row[column("failed")], "1");
            EXPECT_EQ(row[column("suspect")], "no");
            ++seen;
        }
        if (row[column("scope")] == "port reason" && row[column("port")] == odd) {
            EXPECT_EQ(row[column("reason")], reason);
            EXPECT_EQ(row[column("failed")], "1");
            ++seen;
        }
        if (row[column("scope")] == "image" && row[column("imageSha256")] == SHA_B) {
            EXPECT_EQ(row[column("wrongBox")], "1");
            ++seen;
        }
    }
    EXPECT_EQ(seen, 4);

    const json j = json::parse(jsonReport(s));
    EXPECT_EQ(j["total"]["boxes"], 11);
    EXPECT_EQ(j["total"]["failedByOutcome"]["not responding"], 3);
    EXPECT_EQ(j["total"]["p95Seconds"], 10.0);
    EXPECT_EQ(j["files"][0]["skipped"], 3);
    EXPECT_EQ(j["skipped"], 3);
    // CSV has no place for them: standard error gets the text's words.
    EXPECT_EQ(skippedNote(s), record.path + ": 17 lines, 3 skipped (not whole record lines)\n");
    EXPECT_EQ(j["firstStart"], "2026-12-07T06:00:00.000Z");
    ASSERT_EQ(j["suspectPorts"].size(), 1u);
    EXPECT_EQ(j["suspectPorts"][0]["port"], "U2");
    bool found = false;
    for (const json& p : j["ports"]) {
        if (p["port"] == odd) {
            found = true;
            EXPECT_EQ(p["failedByReason"][0]["reason"], reason);
            EXPECT_EQ(p["yield"], 0.0);
            EXPECT_TRUE(p["medianSeconds"].is_null());
        }
    }
    EXPECT_TRUE(found);
}

TEST(Formats, RecordStringsCannotRunOrBreakTheTable) {
    struct Case {
        std::string text, shown, cell;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"\\\\.\\COM10", "\\\\.\\COM10", "\\\\.\\COM10"},
        {"\x1b[31mred\x1b[0m", "\\x1B[31mred\\x1B[0m", "\x1b[31mred\x1b[0m"},
        {"one\ntwo\r\tthree\x7f", "one\\ntwo\\r\\tthree\\x7F", "one\ntwo\r\tthree\x7f"},
        {"C1 \xc2\x9b"
         "2J, \xc3\xa9 stays",
         "C1 \\u009B2J, \xc3\xa9 stays",
         "C1 \xc2\x9b"
         "2J, \xc3\xa9 stays"},
        {"=HYPERLINK(\"x\")", "=HYPERLINK(\"x\")", "'=HYPERLINK(\"x\")"},
        {"+1", "+1", "'+1"},
        {"-2+3", "-2+3", "'-2+3"},
        {"@SUM(A1)", "@SUM(A1)", "'@SUM(A1)"},
        {"\t=1", "\\t=1", "'\t=1"},
        {"a=b", "a=b", "a=b"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(visible(c.text), c.shown) << c.text;
        EXPECT_EQ(csvSafe(c.text), c.cell) << c.text;
    }
    // In place: the port and the reason of a text report and a CSV report.
    const char* port = "=cmd|' /C calc'!A0";
    const char* reason = "\x1b[2Jgone\nFAKE ROW";
    const TempFile record(
        lineOf({"2026-12-07T06:00:00.000Z", port, "s1", 1, "aborted", 1, 0, reason}) + "\n");
    const Summary s = summarise({record.path}, {});
    const std::string text = textReport(s);
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_NE(text.find("\\x1B[2Jgone\\nFAKE ROW"), std::string::npos) << text;
    const auto rows = parseCsv(csvReport(s));
    EXPECT_EQ(rows[1][1], std::string("'") + port);
    EXPECT_EQ(rows.back()[21], reason);
}

TEST(Summary, PortsSortAsPeopleDoAndReasonsGroupByTheirCause) {
    struct Order {
        const char* before;
        const char* after;
    };
    const Order orders[] = {
        {"COM3", "COM10"},    {"/dev/ttyUSB9", "/dev/ttyUSB10"},
        {"COM1", "COM1a"},    {"a2b3", "a2b10"},
        {"U0", "U00"},        {"COM", "COM1"},
        {"ttyS1", "ttyUSB0"}, {"x99999999999999999999", "x100000000000000000000"},
    };
    for (const Order& o : orders) {
        EXPECT_TRUE(naturalLess(o.before, o.after)) << o.before << " < " << o.after;
        EXPECT_FALSE(naturalLess(o.after, o.before)) << o.after << " > " << o.before;
    }
    EXPECT_FALSE(naturalLess("COM3", "COM3"));

    struct Cause {
        const char* reason;
        const char* cause;
    };
    const Cause causes[] = {
        {"no frame got through for 20 s: the box refused block 3 of module 0 2 times with CRC "
         "errors",
         "no frame got through for 20 s: the box refused block 3 of module 0 N times with CRC "
         "errors"},
        {"no frame got through for 20 s: the box refused the DownloadInfoResponse once with CRC "
         "errors",
         "no frame got through for 20 s: the box refused the DownloadInfoResponse N times with "
         "CRC errors"},
        {"a frame failed 10 attempts (result 513); the box got 4,096 of 34,768 module bytes",
         "a frame failed 10 attempts (result 513); the box got N of 34,768 module bytes"},
        {"no box woke up within 20 s", "no box woke up within 20 s"},
        {"the box is hardware model 0x5602, not 0x5601", "the box is hardware model 0x5602, not "
                                                         "0x5601"},
        {"COM12 went away", "COM12 went away"},
        {"tried 1,000 times", "tried N times"},
        {"done at once", "done at once"},
    };
    for (const Cause& c : causes) {
        EXPECT_EQ(reasonCause(c.reason), c.cause) << c.reason;
    }

    // In the summary: ports in people's order, and one row for "2 times" and "6 times".
    std::string r;
    const char* twice = "the box refused block 3 of module 0 2 times with CRC errors";
    const char* sixTimes = "the box refused block 3 of module 0 6 times with CRC errors";
    r += lineOf({"2026-12-07T06:00:00.000Z", "COM10", "a", 1, "not responding", 20, 1, twice});
    r += "\n" +
         lineOf({"2026-12-07T06:01:00.000Z", "COM3", "b", 1, "not responding", 20, 1, sixTimes});
    r += "\n" + lineOf({"2026-12-07T06:02:00.000Z", "COM1", "c", 1, "complete", 5}) + "\n";
    const TempFile record(r);
    const Summary s = summarise({record.path}, {});
    ASSERT_EQ(s.ports.size(), 3u);
    EXPECT_EQ(s.ports[0].port, "COM1");
    EXPECT_EQ(s.ports[1].port, "COM3");
    EXPECT_EQ(s.ports[2].port, "COM10");
    ASSERT_EQ(s.total.reasons.size(), 1u);
    EXPECT_EQ(s.total.reasons.begin()->second, 2u);
}

TEST(Summary, TimesWithoutAZoneAreLocalAndATimeAloneIsOfToday) {
    // At 2026-12-07T23:30Z, on a machine at UTC+2 (where it is already the 8th, 01:30).
    const int64_t now = 1796686200000;
    ASSERT_EQ(formatTime(now), "2026-12-07T23:30:00.000Z");
    struct Case {
        const char* text;
        bool until;
        int offsetHours;
        const char* utc; // "" when refused
    };
    const Case cases[] = {
        {"2026-12-07T06:00:00Z", false, 2, "2026-12-07T06:00:00.000Z"},
        {"2026-12-07T06:00+01:00", false, 2, "2026-12-07T05:00:00.000Z"},
        {"2026-12-07 06:00", false, 2, "2026-12-07T04:00:00.000Z"},
        {"2026-12-07 06:00", false, -5, "2026-12-07T11:00:00.000Z"},
        {"2026-12-07", false, 2, "2026-12-06T22:00:00.000Z"},
        {"2026-12-07", true, 2, "2026-12-07T22:00:00.000Z"},
        {"03:13", false, 2, "2026-12-08T01:13:00.000Z"},
        {"03:13:20.5", false, 2, "2026-12-08T01:13:20.500Z"},
        {"03:13", false, 0, "2026-12-07T03:13:00.000Z"},
        {"03:13Z", false, 2, "2026-12-08T03:13:00.000Z"},
        {"3:13", false, 2, ""},
        {"25:00", false, 2, ""},
        {"03:13 today", false, 2, ""},
    };
    for (const Case& c : cases) {
        Filter f;
        const bool ok = c.until ? f.setUntil(c.text, zoneAt(c.offsetHours, now))
                                : f.setSince(c.text, zoneAt(c.offsetHours, now));
        ASSERT_EQ(ok, *c.utc != 0) << c.text;
        if (ok) {
            EXPECT_EQ(formatTime(c.until ? f.untilMs : f.sinceMs), c.utc)
                << c.text << " at UTC" << c.offsetHours;
        }
    }
}

TEST(Formats, CsvHasARowForEachCauseWithItsEvidence) {
    // A box's port went away under it on U1 (handling), where another box had passed.
    const TempFile record(
        lineOf({"2026-12-08T11:00:00.000Z", "U1", "b1", 1, "complete", 7}) + "\n" +
        lineOf({"2026-12-08T11:01:00.000Z", "U1", "b2", 1, "port failure", 2, 1, R1}) + "\n");
    const Summary s = summarise({record.path}, {});
    ASSERT_EQ(s.causes.size(), 1u);
    const auto rows = parseCsv(csvReport(s));
    const std::vector<std::string>& cause = rows.back();
    ASSERT_EQ(cause.size(), rows[0].size());
    EXPECT_EQ(cause[0], "handling cause");
    EXPECT_EQ(cause[1], "U1");
    EXPECT_EQ(cause[6], "1");
    EXPECT_EQ(cause[21], s.causes[0].evidence);
    EXPECT_NE(textReport(s).find("handling: " + s.causes[0].evidence), std::string::npos);
}

TEST(Formats, NothingInTheWindowIsNoNumber) {
    const TempFile record(shift());
    const Summary s = summarise({record.path}, filterOf("2030-01-01", "", {}));
    const json j = json::parse(jsonReport(s));
    EXPECT_TRUE(j["firstStart"].is_null());
    EXPECT_EQ(j["total"]["boxes"], 0);
    EXPECT_TRUE(j["total"]["yield"].is_null());
    EXPECT_TRUE(j["total"]["medianSeconds"].is_null());
    EXPECT_TRUE(j["total"]["boxesPerHour"].is_null());
    EXPECT_NE(textReport(s).find("no attempts in the report"), std::string::npos);
    const auto rows = parseCsv(csvReport(s));
    ASSERT_EQ(rows.size(), 2u); // the header and the total
    EXPECT_EQ(rows[1][0], "total");
    EXPECT_EQ(rows[1][13], ""); // no yield
}

TEST(Formats, TextGroupsDigitsAndAlignsNumbers) {
    // 1,200 boxes on one port, one in 100 failing.
    std::string r;
    for (int i = 0; i < 1200; ++i) {
        const std::string session = "b" + std::to_string(i);
        const std::string start = formatTime(1796623200000 + int64_t(i) * 10000);
        r += lineOf({start.c_str(), "/dev/ttyUSB0", session.c_str(), 1,
                     i % 100 == 99 ? "download error" : "complete", 7.0, 0, R1}) +
             "\n";
    }
    const TempFile record(r);
    const std::string text = textReport(summarise({record.path}, {}));
    const auto lineWith = [&text](const std::string& start) {
        const size_t at = text.find("\n" + start);
        EXPECT_NE(at, std::string::npos) << start;
        return text.substr(at + 1, text.find('\n', at + 1) - at - 1);
    };
    const std::string header = lineWith("PORT");
    const std::string total = lineWith("total");
    EXPECT_NE(total.find("1,200"), std::string::npos) << total;
    EXPECT_NE(total.find("1,188"), std::string::npos) << total;
    EXPECT_NE(total.find("99.0 %"), std::string::npos) << total;
    // Right-aligned under their headings.
    EXPECT_EQ(header.find("BOXES") + 5, total.find("1,200") + 5);
    EXPECT_EQ(header.find("COMPLETE") + 8, total.find("1,188") + 5);
    EXPECT_NE(text.find("suspect ports (3 failures in a row or more): none"), std::string::npos);
    EXPECT_NE(text.find("12  " + reasonCause(R1)), std::string::npos) << text;
}

} // namespace
} // namespace kestrune::report

namespace kestrune::report {
namespace {

// Lines of two releases and lines of none: each release sums its boxes (a box by its last
// attempt), the lines without a release are in no release row.
TEST(Summary, BoxesAddUpPerRelease) {
    const auto withRelease = [](const Attempt& a, const char* name, const char* sha) {
        json j = json::parse(lineOf(a));
        j["release"] = {{"name", name}, {"sha256", sha}, {"keyId", nullptr}};
        return j.dump() + "\n";
    };
    std::string text;
    text += withRelease({"2026-12-07T06:00:00.000Z", "U0", "s1", 1, "download error", 5.0, 1, R1},
                        "lot 4711", "r1");
    text +=
        withRelease({"2026-12-07T06:00:10.000Z", "U0", "s1", 2, "complete", 7.0}, "lot 4711", "r1");
    text += withRelease({"2026-12-07T06:01:00.000Z", "U1", "s2", 1, "wrong box", 1.0, 0, R3},
                        "lot 4711", "r1");
    text +=
        withRelease({"2026-12-07T06:02:00.000Z", "U1", "s3", 1, "complete", 6.0}, "lot 4712", "r2");
    text += lineOf({"2026-12-07T06:03:00.000Z", "U1", "s4", 1, "complete", 6.0}) + "\n";
    const TempFile record(text);
    const Summary s = summarise({record.path}, {});
    ASSERT_EQ(s.releases.size(), 2u);
    EXPECT_EQ(s.releases[0].name, "lot 4711");
    EXPECT_EQ(s.releases[0].sha256, "r1");
    EXPECT_EQ(s.releases[0].counts.boxes, 2u);
    EXPECT_EQ(s.releases[0].counts.complete, 1u);
    EXPECT_EQ(s.releases[1].counts.boxes, 1u);
    EXPECT_EQ(s.total.boxes, 4u);
    const json j = json::parse(formatReport(s, Format::Json));
    EXPECT_EQ(j["releases"][0]["release"], "lot 4711");
    EXPECT_NE(formatReport(s, Format::Text).find("RELEASE"), std::string::npos);
}

} // namespace
} // namespace kestrune::report

namespace kestrune::report {
namespace {

// Lines of two stations and two lots, with a unit that came back to another station.
std::string traced() {
    std::string r;
    const auto add = [&r](const char* start, const char* station, const char* lot, const char* unit,
                          const char* outcome, const char* session) {
        json j = json::parse(lineOf({start, "U0", session, 1, outcome, 5.0}));
        j["attemptId"] = std::string("id-") + start;
        j["station"] = station;
        j["lot"] = *lot ? json(lot) : json(nullptr);
        j["unitSerial"] = *unit ? json(unit) : json(nullptr);
        j["unitSerialFrom"] = *unit ? json("box") : json(nullptr);
        r += j.dump() + "\n";
    };
    add("2026-12-07T06:00:00.000Z", "line-1", "L1", "VB-1", "download error", "a");
    add("2026-12-07T06:01:00.000Z", "line-1", "L1", "VB-2", "complete", "b");
    add("2026-12-07T06:02:00.000Z", "line-1", "L2", "", "complete", "c");
    add("2026-12-07T05:00:00.000Z", "line-2", "L1", "VB-1", "complete", "d"); // another file's
    return r;
}

TEST(Summary, LotStationAndUnitFilterAndAUnitsHistoryIsInTimeOrder) {
    const TempFile file(traced());
    const struct {
        std::vector<std::string> lots, stations;
        const char* unit;
        uint64_t boxes;
        std::vector<std::string> history; // attemptIds, oldest first
    } rows[] = {
        {{}, {}, "", 4, {}},
        {{"L1"}, {}, "", 3, {}},
        {{"L2", "L1"}, {"line-1"}, "", 3, {}},
        {{}, {"line-2"}, "", 1, {}},
        {{}, {"line-9"}, "", 0, {}},
        // Newest last, whatever the order of the lines.
        {{}, {}, "VB-1", 2, {"id-2026-12-07T05:00:00.000Z", "id-2026-12-07T06:00:00.000Z"}},
        {{"L2"}, {}, "VB-1", 0, {}},
    };
    for (const auto& row : rows) {
        Filter filter;
        filter.lots = row.lots;
        filter.stations = row.stations;
        filter.unit = row.unit;
        const Summary s = summarise({file.path}, filter);
        EXPECT_EQ(s.total.boxes, row.boxes) << row.unit;
        std::vector<std::string> ids;
        for (const RecordLine& line : s.history) {
            ids.push_back(line.attemptId);
        }
        EXPECT_EQ(ids, row.history) << row.unit;
    }
    Filter unit;
    unit.unit = "VB-1";
    const json history =
        json::parse(formatHistory(summarise({file.path}, unit), "VB-1", Format::Json));
    ASSERT_EQ(history["attempts"].size(), 2u);
    EXPECT_EQ(history["attempts"][0]["station"], "line-2");
    EXPECT_EQ(history["attempts"][1]["outcome"], "download error");
    const std::string text = formatHistory(summarise({file.path}, unit), "VB-1", Format::Text);
    EXPECT_EQ(text.substr(0, text.find('\n')), "unit VB-1: 2 attempts, the newest last");
}

} // namespace
} // namespace kestrune::report
