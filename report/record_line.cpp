#include "report/record_line.h"

#include "common/iso_time.h"
#include "station/record_schema.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace kestrune::report {
namespace {

using Json = nlohmann::json;
using station::RecordField;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (Howard Hinnant's
// days_from_civil): no time zone database and no timegm, the same on Windows.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct TimeReader {
    std::string_view text;
    size_t at = 0;

    bool digits(size_t n, int& value) {
        if (at + n > text.size()) {
            return false;
        }
        value = 0;
        for (size_t i = 0; i < n; ++i) {
            const char c = text[at + i];
            if (c < '0' || c > '9') {
                return false;
            }
            value = value * 10 + (c - '0');
        }
        at += n;
        return true;
    }
    bool take(char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    bool done() const { return at == text.size(); }
};

bool leapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Only the top-level fields the report counts by are kept; everything else is still parsed, so
// that a torn or broken line anywhere is seen.
class LineHandler : public nlohmann::json_sax<Json> {
public:
    explicit LineHandler(RecordLine& line) : line_(line) {}

    bool complete() const {
        // An end more than the longest attempt after the start is as absurd as such a
        // duration (an end before the start is a clock that went back: no time).
        const bool endInRange = !line_.hasEnd || line_.endMs <= line_.startMs ||
                                line_.endMs - line_.startMs <= int64_t(MAX_ATTEMPT_SECONDS * 1000);
        return object_ && !bad_ && hasStart_ && hasPort_ && hasOutcome_ && endInRange;
    }

    bool null() override {
        // Null is what the station writes for "none"; for the fields that must be there it is a
        // broken line.
        if (depth_ == 1 && kept_) {
            switch (field_) {
            case RecordField::Start:
            case RecordField::Port:
            case RecordField::Outcome:
                bad_ = true;
                break;
            case RecordField::BoxSession:
                line_.boxSession.clear();
                break;
            case RecordField::Reason:
                line_.reason.clear();
                break;
            case RecordField::End:
                line_.hasEnd = false;
                break;
            case RecordField::DurationSeconds:
                line_.hasDuration = false;
                break;
            default:
                break;
            }
        }
        return top();
    }
    bool boolean(bool) override { return scalarNotKept(); }
    bool number_integer(number_integer_t value) override {
        if (value < 0) {
            return scalarNotKept();
        }
        return number_unsigned(static_cast<number_unsigned_t>(value));
    }
    bool number_unsigned(number_unsigned_t value) override {
        if (depth_ == 1 && kept_) {
            switch (field_) {
            case RecordField::Attempt:
                line_.attempt = count32(value);
                break;
            case RecordField::FailuresInRow:
                line_.failuresInRow = count32(value);
                break;
            case RecordField::ImageSize:
                line_.imageSize = value;
                break;
            case RecordField::DurationSeconds:
                duration(static_cast<double>(value));
                break;
            case RecordField::ModuleBytesDelivered:
                line_.deliveredBytes = value;
                break;
            case RecordField::FramesResent:
                line_.framesResent = count32(value);
                break;
            case RecordField::Naks:
                line_.naks = count32(value);
                break;
            case RecordField::StoppedAtModule:
                line_.stoppedModule = count32(value);
                line_.stoppedInBlock = true;
                break;
            case RecordField::StoppedAtBlock:
                line_.stoppedBlock = count32(value);
                break;
            default:
                bad_ = true;
            }
        }
        return top();
    }
    bool number_float(number_float_t value, const string_t&) override {
        if (depth_ == 1 && kept_) {
            if (field_ == RecordField::DurationSeconds) {
                duration(value);
            } else {
                bad_ = true;
            }
        }
        return top();
    }
    bool string(string_t& value) override {
        if (depth_ == 2 && kept_ && field_ == RecordField::Release) {
            if (releaseKey_ == "name") {
                line_.releaseName = value;
            } else if (releaseKey_ == "sha256") {
                line_.releaseSha256 = value;
            }
        }
        if (depth_ == 1 && kept_) {
            switch (field_) {
            case RecordField::Start:
                hasStart_ = parseTime(value, line_.startMs);
                bad_ = bad_ || !hasStart_;
                break;
            case RecordField::End:
                line_.hasEnd = parseTime(value, line_.endMs);
                break;
            case RecordField::Port:
                line_.port = value;
                hasPort_ = !value.empty();
                break;
            case RecordField::BoxSession:
                line_.boxSession = value;
                break;
            case RecordField::Image:
                line_.image = value;
                break;
            case RecordField::ImageSha256:
                line_.imageSha256 = value;
                break;
            case RecordField::Outcome:
                hasOutcome_ = readOutcome(value);
                bad_ = bad_ || !hasOutcome_;
                break;
            case RecordField::Reason:
                line_.reason = value;
                break;
            case RecordField::AttemptId:
                line_.attemptId = value;
                break;
            case RecordField::Station:
                line_.station = value;
                break;
            case RecordField::Lot:
                line_.lot = value;
                break;
            case RecordField::Operator:
                line_.operatorName = value;
                break;
            case RecordField::WorkOrder:
                line_.workOrder = value;
                break;
            case RecordField::UnitSerial:
                line_.unitSerial = value;
                break;
            case RecordField::UnitSerialFrom:
                line_.unitSerialFrom = value;
                break;
            default:
                bad_ = true;
            }
        }
        return top();
    }
    bool binary(binary_t&) override { return scalarNotKept(); }
    bool start_object(std::size_t) override {
        if (depth_ == 0) {
            object_ = true;
        } else if (depth_ == 1 && kept_ && field_ != RecordField::Release) {
            bad_ = true;
        }
        ++depth_;
        return true;
    }
    bool key(string_t& name) override {
        if (depth_ == 1) {
            kept_ = station::recordFieldNamed(name, field_) && keeps(field_);
        } else if (depth_ == 2 && kept_ && field_ == RecordField::Release) {
            releaseKey_ = name;
        }
        return true;
    }
    bool end_object() override {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        if (depth_ == 1 && kept_) {
            bad_ = true;
        }
        ++depth_;
        return depth_ > 1; // a line that is an array is not a record line
    }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        bad_ = true;
        return false;
    }

private:
    // The fields the report counts by; the others are parsed but not kept.
    static bool keeps(RecordField field) {
        switch (field) {
        case RecordField::Start:
        case RecordField::End:
        case RecordField::Port:
        case RecordField::BoxSession:
        case RecordField::Attempt:
        case RecordField::FailuresInRow:
        case RecordField::Image:
        case RecordField::ImageSize:
        case RecordField::ImageSha256:
        case RecordField::Outcome:
        case RecordField::Reason:
        case RecordField::DurationSeconds:
        case RecordField::Release:
        case RecordField::ModuleBytesDelivered:
        case RecordField::FramesResent:
        case RecordField::Naks:
        case RecordField::StoppedAtModule:
        case RecordField::StoppedAtBlock:
        case RecordField::AttemptId:
        case RecordField::Station:
        case RecordField::Lot:
        case RecordField::Operator:
        case RecordField::WorkOrder:
        case RecordField::UnitSerial:
        case RecordField::UnitSerialFrom:
            return true;
        default:
            return false;
        }
    }

    static uint32_t count32(number_unsigned_t value) {
        return static_cast<uint32_t>(value > UINT32_MAX ? UINT32_MAX : value);
    }

    bool readOutcome(std::string_view word) {
        for (int i = 0; i < OUTCOME_COUNT; ++i) {
            if (word == outcomeWord(static_cast<Outcome>(i))) {
                line_.outcome = static_cast<Outcome>(i);
                return true;
            }
        }
        return false;
    }

    // Negative, infinite (1e400 reads as infinity) or longer than any download: not a record
    // line. NaN fails the comparison too.
    void duration(double seconds) {
        if (seconds >= 0 && seconds <= MAX_ATTEMPT_SECONDS) {
            // -0 passes the test above; + 0.0 makes it 0, which the formats show without a sign.
            line_.durationSeconds = seconds + 0.0;
            line_.hasDuration = true;
        } else {
            bad_ = true;
        }
    }

    // A scalar at the top is not a record line; a kept field of the wrong type spoils it.
    bool scalarNotKept() {
        if (depth_ == 1 && kept_) {
            bad_ = true;
        }
        return top();
    }
    bool top() const { return depth_ > 0; }

    RecordLine& line_;
    int depth_ = 0;
    RecordField field_ = RecordField::Start;
    bool kept_ = false;      // field_ is one the report keeps
    std::string releaseKey_; // the key inside the release object
    bool object_ = false;
    bool bad_ = false;
    bool hasStart_ = false;
    bool hasPort_ = false;
    bool hasOutcome_ = false;
};

} // namespace

double RecordLine::seconds() const {
    if (hasDuration) {
        return durationSeconds;
    }
    return hasEnd && endMs > startMs ? double(endMs - startMs) / 1000 : 0.0;
}

bool parseRecordLine(std::string_view text, RecordLine& line) {
    line.hasEnd = false;
    line.boxSession.clear();
    line.attempt = 1;
    line.failuresInRow = 0;
    line.image.clear();
    line.imageSha256.clear();
    line.imageSize = 0;
    line.reason.clear();
    line.attemptId.clear();
    line.station.clear();
    line.lot.clear();
    line.operatorName.clear();
    line.workOrder.clear();
    line.unitSerial.clear();
    line.unitSerialFrom.clear();
    line.releaseName.clear();
    line.releaseSha256.clear();
    line.hasDuration = false;
    line.deliveredBytes = 0;
    line.framesResent = 0;
    line.naks = 0;
    line.stoppedInBlock = false;
    line.stoppedModule = 0;
    line.stoppedBlock = 0;
    LineHandler handler(line);
    // No exceptions: a broken line ends in parse_error, which stops the parse.
    const bool parsed = Json::sax_parse(text.begin(), text.end(), &handler,
                                        nlohmann::detail::input_format_t::json, true);
    return parsed && handler.complete();
}

bool parseTime(std::string_view text, int64_t& ms, bool* dateOnly, bool* zoned) {
    TimeReader r{text};
    int year = 0, month = 0, day = 0;
    if (!r.digits(4, year) || !r.take('-') || !r.digits(2, month) || !r.take('-') ||
        !r.digits(2, day) || month < 1 || month > 12 || day < 1) {
        return false;
    }
    static constexpr int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (day > monthDays[month - 1] + (month == 2 && leapYear(year) ? 1 : 0)) {
        return false;
    }
    int64_t result = daysFromCivil(year, unsigned(month), unsigned(day)) * 86400000;
    if (dateOnly != nullptr) {
        *dateOnly = r.done();
    }
    if (zoned != nullptr) {
        *zoned = false;
    }
    if (r.done()) {
        ms = result;
        return true;
    }
    int hour = 0, minute = 0, second = 0;
    if (!(r.take('T') || r.take(' ')) || !r.digits(2, hour) || !r.take(':') ||
        !r.digits(2, minute) || hour > 23 || minute > 59) {
        return false;
    }
    int64_t fraction = 0;
    if (r.take(':')) {
        if (!r.digits(2, second) || second > 60) {
            return false;
        }
        if (r.take('.') || r.take(',')) {
            // Milliseconds are what the record keeps; further digits are read and dropped.
            int64_t scale = 100;
            size_t count = 0;
            int digit = 0;
            while (r.digits(1, digit)) {
                fraction += digit * scale;
                scale /= 10;
                ++count;
            }
            if (count == 0) {
                return false;
            }
        }
    }
    result += (int64_t(hour) * 3600 + minute * 60 + second) * 1000 + fraction;
    const bool hasZone =
        r.at < text.size() && (text[r.at] == 'Z' || text[r.at] == '+' || text[r.at] == '-');
    if (r.take('Z')) {
    } else if (r.at < text.size() && (text[r.at] == '+' || text[r.at] == '-')) {
        const int sign = text[r.at] == '+' ? 1 : -1;
        ++r.at;
        int zoneHours = 0, zoneMinutes = 0;
        if (!r.digits(2, zoneHours) || zoneHours > 23) {
            return false;
        }
        r.take(':');
        if (!r.done() && (!r.digits(2, zoneMinutes) || zoneMinutes > 59)) {
            return false;
        }
        // 21:24+01:00 is 20:24 UTC.
        result -= sign * (int64_t(zoneHours) * 60 + zoneMinutes) * 60000;
    }
    if (!r.done()) {
        return false;
    }
    if (zoned != nullptr) {
        *zoned = hasZone;
    }
    ms = result;
    return true;
}

int64_t civilMs(const std::tm& tm) {
    return daysFromCivil(int64_t(tm.tm_year) + 1900, unsigned(tm.tm_mon + 1),
                         unsigned(tm.tm_mday)) *
               86400000 +
           (int64_t(tm.tm_hour) * 3600 + tm.tm_min * 60 + tm.tm_sec) * 1000;
}

std::string formatTime(int64_t ms) {
    return isoTime(std::chrono::sys_time<std::chrono::milliseconds>(std::chrono::milliseconds(ms)));
}

} // namespace kestrune::report
