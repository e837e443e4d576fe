#pragma once

// The shift's numbers: record lines in, counts per port, per image and in total out. Memory
// does not grow with the record's length: a box is counted when its last attempt is known
// (its attempts are consecutive on its port, so each port keeps only the box in hand), and
// download times go into a fixed histogram, not a list.

#include "report/causes.h"
#include "report/record_line.h"
#include "station/yield.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::report {

// Download times in buckets 1 % wide (log-spaced, 1 ms to 11 days): a quantile is the mean of
// the times in its bucket, so within 1 % (or 1 ms) of the exact one, exact when the bucket's
// times are all the same, and never outside the smallest and largest time.
class DurationHistogram {
public:
    static constexpr double LOWEST_SECONDS = 0.001;
    static constexpr double STEP = 1.01;
    static constexpr size_t BUCKETS = 2085;

    void add(double seconds);
    uint64_t count() const { return count_; }
    // The nearest-rank quantile: the smallest time that at least `q` (0 to 1) of the times do
    // not exceed. 0 when empty.
    double quantile(double q) const;

private:
    struct Bucket {
        uint64_t count = 0;
        double sum = 0;
    };
    std::vector<Bucket> buckets_; // allocated by the first time added
    uint64_t count_ = 0;
    double min_ = 0;
    double max_ = 0;
};

// What a port, an image or the whole record counts.
struct Counts {
    uint64_t boxes = 0;    // one per box, however many attempts it took
    uint64_t complete = 0; // boxes whose last attempt completed
    // Boxes that did not complete, by the outcome of their last attempt (index: Outcome; the
    // Complete slot stays 0).
    std::array<uint64_t, OUTCOME_COUNT> failedBy{};
    // The same boxes by the reason of their last attempt: at most MAX_REASONS entries, the
    // last place kept for "" (the further reasons, and failures without one).
    std::map<std::string, uint64_t> reasons;
    uint64_t retriesSaved = 0;   // complete boxes whose complete attempt was not the first
    uint64_t portFailures = 0;   // port failure lines, with or without a box on the port
    DurationHistogram downloads; // the complete attempts' durationSeconds
    double stationSeconds = 0;   // of the record files this one has boxes in

    static constexpr size_t MAX_REASONS = 64;

    uint64_t failed() const { return boxes - complete; }
    // The station's counts of the same boxes, and their yield (station/yield.h); 0 without
    // boxes.
    station::BoxCounts boxCounts() const;
    double yield() const;
    // Complete boxes per hour of station time; 0 without station time.
    double boxesPerHour() const;
};

struct PortRow {
    std::string port;
    Counts counts;
    uint32_t failuresInRow = 0; // after the port's last attempt in the report
    bool suspect = false;
};

struct ImageRow {
    std::string sha256;
    std::string image; // its path in the last line that named it
    uint64_t imageSize = 0;
    Counts counts;
};

// The boxes served from one release (by the SHA-256 of its file).
struct ReleaseRow {
    std::string sha256;
    std::string name; // in the last line that named it
    Counts counts;
};

struct FileFacts {
    std::string path;
    uint64_t lines = 0;   // every line but empty ones
    uint64_t skipped = 0; // lines that are not record lines (torn, not JSON, no outcome, ...)
    double stationSeconds = 0;
};

// The clock and the time zone of the machine the report runs on: a time without a zone is meant
// as the local time there, and a time without a date is one of today.
struct LocalTime {
    int64_t nowMs = 0; // milliseconds since 1970 UTC
    // Local wall time written as if it were UTC (its fields as milliseconds since 1970), and back.
    std::function<int64_t(int64_t utcMs)> toLocal;
    std::function<int64_t(int64_t localMs)> toUtc;

    static LocalTime system();
};

// What is counted: attempts whose box's first attempt started in [since, until), on the ports
// given (all when none).
struct Filter {
    bool hasSince = false;
    int64_t sinceMs = 0;
    bool hasUntil = false;
    int64_t untilMs = 0;
    std::vector<std::string> ports;
    std::vector<std::string> lots;     // --lot, repeatable
    std::vector<std::string> stations; // --station, repeatable
    std::string unit;                  // --unit: that unit's attempts alone, and its history

    // --since and --until: an ISO 8601 time, a date (as --until, up to the end of that day) or
    // a time of today (03:13, 03:13:20). Without a zone, local time. False when `text` is none.
    bool setSince(std::string_view text, const LocalTime& local = LocalTime::system());
    bool setUntil(std::string_view text, const LocalTime& local = LocalTime::system());

    bool inWindow(int64_t startMs) const;
    bool wantsPort(const std::string& port) const;
    // Its port, lot, station and unit.
    bool wantsLine(const RecordLine& line) const;
};

struct Summary {
    std::vector<FileFacts> files;
    std::vector<PortRow> ports;       // by port name
    std::vector<ImageRow> images;     // by image path, then SHA-256
    std::vector<ReleaseRow> releases; // by name; none for lines without a release
    Counts total;
    uint32_t suspectAfter = 3;
    std::vector<CauseGroup> causes;  // why the failed attempts failed (report/causes.h)
    std::vector<RecordLine> history; // with --unit: its attempts, oldest first
    bool hasTimes = false;           // firstStartMs and lastEndMs are known
    int64_t firstStartMs = 0;
    int64_t lastEndMs = 0;

    uint64_t lines() const;
    uint64_t skipped() const;
};

// Names as people sort them: the numbers in them by their value, so COM3 comes before COM10
// and /dev/ttyUSB9 before /dev/ttyUSB10; otherwise byte by byte.
bool naturalLess(std::string_view a, std::string_view b);

// A failure's cause: its reason without the counts that differ from box to box, so that boxes
// that failed alike are one row. A count is a number followed by "times" (and "once"), and the
// first number of "N of M" when M is a number too (the bytes a box got); each becomes "N".
// "the box refused block 3 of module 0 2 times with CRC errors" and "... once ..." are both
// "the box refused block 3 of module 0 N times with CRC errors".
std::string reasonCause(std::string_view reason);

// Station time: each record file's attempts, from the first start to the last end, leaving out
// any gap of more than this with no attempt in it (a night, a station that was stopped).
constexpr int64_t IDLE_GAP_MS = 30 * 60 * 1000;

class Summariser {
public:
    Summariser(Filter filter, uint32_t suspectAfter);

    // Lines come file by file, each file's in its order.
    void beginFile(const std::string& path);
    void add(const RecordLine& line);
    void skip(); // a line that is not a record line
    void endFile();

    // Counts the boxes still in hand and returns the numbers.
    Summary finish();

private:
    std::vector<RecordLine> history_; // with --unit
    struct Box {
        bool open = false;
        bool counted = false; // its first attempt started in the window
        std::string session;
        size_t file = 0;
        Outcome outcome = Outcome::Complete;
        std::string reason;
        std::string cause; // reasonCause(reason), once the box is counted
        uint32_t attempt = 1;
        double seconds = 0;
        std::string imageSha256;
        std::string image;
        uint64_t imageSize = 0;
        std::string releaseSha256;
        std::string releaseName;
    };
    struct PortState {
        Counts counts;
        uint32_t failuresInRow = 0;
        bool seen = false;       // a line of it is in the report
        Box box;                 // the box in hand on this port
        std::vector<bool> files; // the record files it has boxes in
    };
    struct ImageState {
        std::string image;
        uint64_t imageSize = 0;
        Counts counts;
        std::vector<bool> files;
    };
    struct Span {
        bool open = false;
        int64_t startMs = 0;
        int64_t endMs = 0;
    };

    void closeBox(PortState& port);
    void countBox(Counts& counts, const Box& box);
    ImageState& imageOf(const std::string& sha256);
    void noteTime(const RecordLine& line);
    double timeOf(const std::vector<bool>& files) const;

    Filter filter_;
    uint32_t suspectAfter_;
    std::map<std::string, PortState> ports_;
    std::map<std::string, ImageState> images_;
    std::map<std::string, ImageState> releases_; // `image` holds the release's name
    Counts total_;
    std::vector<FileFacts> files_;
    Span span_;
    bool hasTimes_ = false;
    int64_t firstStartMs_ = 0;
    int64_t lastEndMs_ = 0;
    FailureCauses causes_;
    PortState* lastPort_ = nullptr; // lines of one port often come in a row
    std::string lastPortName_;
};

} // namespace kestrune::report
