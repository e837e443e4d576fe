// The record as one schema: a line the station writes has every field of the table with the
// value the table says, and the report reads back what the station wrote.

#include "report/record_line.h"
#include "station/record.h"
#include "station/record_schema.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

namespace kestrune {
namespace {

using nlohmann::json;
using station::FieldKind;
using station::RECORD_FIELDS;

bool hasKind(const json& value, FieldKind kind) {
    int64_t ms = 0;
    switch (kind) {
    case FieldKind::Time:
        return value.is_string() && report::parseTime(value.get<std::string>(), ms);
    case FieldKind::Text:
        return value.is_string();
    case FieldKind::Word:
        for (int i = 0; i < station::OUTCOME_COUNT; ++i) {
            if (value == station::outcomeName(static_cast<station::Outcome>(i))) {
                return true;
            }
        }
        return false;
    case FieldKind::Count:
        return value.is_number_unsigned();
    case FieldKind::Seconds:
        return value.is_number() && value.get<double>() >= 0;
    case FieldKind::Object:
        return value.is_object();
    }
    return false;
}

station::AttemptReport attempt(bool boxWoke) {
    station::AttemptReport a;
    a.started = std::chrono::system_clock::time_point(std::chrono::milliseconds(1765139071380));
    a.ended = a.started + std::chrono::milliseconds(3961);
    a.outcome = boxWoke ? station::Outcome::DownloadError : station::Outcome::PortFailure;
    a.reason = "a frame failed 10 attempts";
    a.boxWoke = a.sessionRan = a.wakeupKnown = boxWoke;
    a.wakeupByte = 0x55;
    a.resultCode = 513;
    a.deliveredBytes = 4096;
    a.moduleBytes = 34768;
    a.framesResent = 12;
    a.naks = 7;
    a.crcErrors = 2;
    a.firstRequestMs = 412;
    a.stoppedInBlock = true;
    a.stoppedModule = 1;
    a.stoppedBlock = 3;
    a.downloadId = 3;
    a.blockSize = 1024;
    a.windowSize = a.ackPeriod = 4;
    a.identity.requestSeen = boxWoke;
    return a;
}

TEST(RecordSchema, WriterAndReaderAgreeOnEveryField) {
    const struct {
        bool boxWoke;
        std::string imagePath;
    } rows[] = {
        {true, "images/caf\xE9.dl"}, // every field, the path's bytes in hex too
        {false, "images/a.dl"},      // no box: what only a box can tell is null
    };
    for (const auto& row : rows) {
        const station::ImageFacts image{row.imagePath, 34863, "0de17c61", "VB 2.3"};
        const release::ReleaseFacts release{"lot 4711", "5a9e", "RWQf6LRC"};
        station::AttemptPlace place;
        place.attempt = 2;
        place.boxSession = "ttyUSB0-7";
        place.failuresInRow = 3;
        place.healthKnown = row.boxWoke;
        place.attemptId = "0190a1b2-c3d4-7000-8000-000000000001";
        place.provenance = {"line-7", "L-42", "ann", "WO-9"};
        if (row.boxWoke) {
            place.unitSerial = "VB-2000-00123456";
            place.unitSerialFrom = "box";
        }
        place.slot = row.boxWoke ? "A1" : ""; // a port of a fixture's slot names it
        place.device = "/dev/ttyUSB0";
        const std::string text =
            station::recordLine(attempt(row.boxWoke), "/dev/ttyUSB0", image, "logs/a.log", "",
                                place, row.boxWoke ? &release : nullptr);
        const json line = json::parse(text);
        size_t known = 0;
        for (const auto& info : RECORD_FIELDS) {
            SCOPED_TRACE(std::string(info.name) + " in " + text);
            if (!line.contains(info.name)) {
                EXPECT_TRUE(info.sometimes);
                continue;
            }
            ++known;
            const json& value = line[info.name];
            EXPECT_TRUE(value.is_null() ? info.nullable : hasKind(value, info.kind));
            // A woken box that ran its session leaves only the files not written empty.
            if (row.boxWoke && info.field != station::RecordField::Capture) {
                EXPECT_FALSE(value.is_null());
            }
        }
        EXPECT_EQ(known, line.size()) << "a field the schema does not name: " << text;
        if (row.boxWoke) {
            EXPECT_EQ(known, station::RECORD_FIELD_COUNT) << text;
        }

        report::RecordLine read;
        ASSERT_TRUE(report::parseRecordLine(text.substr(0, text.size() - 1), read)) << text;
        EXPECT_EQ(report::formatTime(read.startMs), line["start"]);
        EXPECT_EQ(report::formatTime(read.endMs), line["end"]);
        EXPECT_EQ(read.port, "/dev/ttyUSB0");
        EXPECT_EQ(read.boxSession, "ttyUSB0-7");
        EXPECT_EQ(read.attemptId, place.attemptId);
        EXPECT_EQ(read.station, "line-7");
        EXPECT_EQ(read.lot, "L-42");
        EXPECT_EQ(read.operatorName, "ann");
        EXPECT_EQ(read.workOrder, "WO-9");
        EXPECT_EQ(read.unitSerial, row.boxWoke ? "VB-2000-00123456" : "");
        EXPECT_EQ(read.unitSerialFrom, row.boxWoke ? "box" : "");
        EXPECT_EQ(read.attempt, 2u);
        EXPECT_EQ(read.failuresInRow, 3u);
        EXPECT_EQ(read.image, line["image"]);
        EXPECT_EQ(read.imageSize, 34863u);
        EXPECT_EQ(read.imageSha256, "0de17c61");
        EXPECT_EQ(read.outcome, attempt(row.boxWoke).outcome);
        EXPECT_EQ(read.reason, "a frame failed 10 attempts");
        EXPECT_DOUBLE_EQ(read.seconds(), 3.961);
        EXPECT_EQ(read.releaseName, row.boxWoke ? "lot 4711" : "");
        EXPECT_EQ(read.releaseSha256, row.boxWoke ? "5a9e" : "");
        // What the report's causes of failure are read from.
        EXPECT_EQ(read.framesResent, row.boxWoke ? 12u : 0u);
        EXPECT_EQ(read.naks, row.boxWoke ? 7u : 0u);
        EXPECT_EQ(read.deliveredBytes, row.boxWoke ? 4096u : 0u);
        EXPECT_EQ(read.stoppedInBlock, row.boxWoke);
        if (row.boxWoke) {
            EXPECT_EQ(read.stoppedModule, 1u);
            EXPECT_EQ(read.stoppedBlock, 3u);
        }
    }
}

} // namespace
} // namespace kestrune
