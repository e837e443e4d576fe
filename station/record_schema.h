#pragma once

// The record's top-level fields: their names in the file and what their values are. The
// station's writer, the report's reader and the page's view of a port's last box all name the
// fields through this one table, so that a renamed field cannot drift between them.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrune::station {

enum class RecordField : uint8_t {
    Start,
    End,
    Port,
    Slot,
    Device,
    BoxSession,
    AttemptId,
    Station,
    Lot,
    Operator,
    WorkOrder,
    Attempt,
    FailuresInRow,
    Release,
    Image,
    ImagePathHex,
    ImageLabel,
    ImageSize,
    ImageSha256,
    WakeupByte,
    DownloadId,
    BlockSize,
    WindowSize,
    AckPeriod,
    Box,
    UnitSerial,
    UnitSerialFrom,
    Outcome,
    ResultCode,
    Reason,
    ModuleBytesDelivered,
    ModuleBytes,
    FramesResent,
    Naks,
    CrcErrors,
    FirstRequestSeconds,
    StoppedAtModule,
    StoppedAtBlock,
    LinkQuality,
    DurationSeconds,
    TestLog,
    Capture,
};

enum class FieldKind : uint8_t {
    Time,    // ISO 8601 UTC with milliseconds, "2026-12-07T20:24:31.380Z"
    Text,    // a string
    Word,    // one of the outcome words
    Count,   // a non-negative integer
    Seconds, // a number with three decimals
    Object,  // the release (name, sha256, keyId), the box's descriptors and their readings
};

struct RecordFieldInfo {
    RecordField field;
    const char* name;
    FieldKind kind;
    bool nullable;  // null where there is nothing to say (no box, no handshake, no file)
    bool sometimes; // present only when there is something to say (otherwise always present)
};

// In the order the station writes them.
inline constexpr RecordFieldInfo RECORD_FIELDS[] = {
    {RecordField::Start, "start", FieldKind::Time, false, false},
    {RecordField::End, "end", FieldKind::Time, false, false},
    {RecordField::Port, "port", FieldKind::Text, false, false},
    // The port's slot in its fixture (null when unnamed: then `port` is the device).
    {RecordField::Slot, "slot", FieldKind::Text, true, false},
    {RecordField::Device, "device", FieldKind::Text, false, false},
    {RecordField::BoxSession, "boxSession", FieldKind::Text, true, false},
    // Unique across stations and restarts: the key a receiver of forwarded lines stores by.
    {RecordField::AttemptId, "attemptId", FieldKind::Text, false, false},
    {RecordField::Station, "station", FieldKind::Text, false, false},
    {RecordField::Lot, "lot", FieldKind::Text, true, false},
    {RecordField::Operator, "operator", FieldKind::Text, true, false},
    {RecordField::WorkOrder, "workOrder", FieldKind::Text, true, false},
    {RecordField::Attempt, "attempt", FieldKind::Count, false, false},
    {RecordField::FailuresInRow, "failuresInRow", FieldKind::Count, false, false},
    {RecordField::Release, "release", FieldKind::Object, true, false},
    // The image fields are null for a box that no image of the release fits.
    {RecordField::Image, "image", FieldKind::Text, true, false},
    {RecordField::ImagePathHex, "imagePathHex", FieldKind::Text, false, true},
    {RecordField::ImageLabel, "imageLabel", FieldKind::Text, true, false},
    {RecordField::ImageSize, "imageSize", FieldKind::Count, true, false},
    {RecordField::ImageSha256, "imageSha256", FieldKind::Text, true, false},
    {RecordField::WakeupByte, "wakeupByte", FieldKind::Count, true, false},
    {RecordField::DownloadId, "downloadId", FieldKind::Count, true, false},
    {RecordField::BlockSize, "blockSize", FieldKind::Count, true, false},
    {RecordField::WindowSize, "windowSize", FieldKind::Count, true, false},
    {RecordField::AckPeriod, "ackPeriod", FieldKind::Count, true, false},
    {RecordField::Box, "box", FieldKind::Object, true, false},
    // The unit's serial and where it came from: "box" (its descriptor) or "scan".
    {RecordField::UnitSerial, "unitSerial", FieldKind::Text, true, false},
    {RecordField::UnitSerialFrom, "unitSerialFrom", FieldKind::Text, true, false},
    {RecordField::Outcome, "outcome", FieldKind::Word, false, false},
    {RecordField::ResultCode, "resultCode", FieldKind::Count, true, false},
    {RecordField::Reason, "reason", FieldKind::Text, true, false},
    {RecordField::ModuleBytesDelivered, "moduleBytesDelivered", FieldKind::Count, true, false},
    {RecordField::ModuleBytes, "moduleBytes", FieldKind::Count, true, false},
    {RecordField::FramesResent, "framesResent", FieldKind::Count, true, false},
    {RecordField::Naks, "naks", FieldKind::Count, true, false},
    {RecordField::CrcErrors, "crcErrors", FieldKind::Count, true, false},
    {RecordField::FirstRequestSeconds, "firstRequestSeconds", FieldKind::Seconds, true, false},
    {RecordField::StoppedAtModule, "stoppedAtModule", FieldKind::Count, true, false},
    {RecordField::StoppedAtBlock, "stoppedAtBlock", FieldKind::Count, true, false},
    {RecordField::LinkQuality, "linkQuality", FieldKind::Object, true, false},
    {RecordField::DurationSeconds, "durationSeconds", FieldKind::Seconds, false, false},
    {RecordField::TestLog, "testLog", FieldKind::Text, true, false},
    {RecordField::Capture, "capture", FieldKind::Text, true, false},
};
inline constexpr size_t RECORD_FIELD_COUNT = sizeof RECORD_FIELDS / sizeof RECORD_FIELDS[0];

constexpr const char* fieldName(RecordField field) {
    return RECORD_FIELDS[static_cast<size_t>(field)].name;
}

// The field called `name`; false when the record has none of that name.
constexpr bool recordFieldNamed(std::string_view name, RecordField& field) {
    for (const RecordFieldInfo& info : RECORD_FIELDS) {
        if (name == info.name) {
            field = info.field;
            return true;
        }
    }
    return false;
}

} // namespace kestrune::station
