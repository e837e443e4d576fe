#include "report/summary.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <ctime>
#include <utility>

namespace kestrune::report {

void DurationHistogram::add(double seconds) {
    if (!(seconds >= 0)) {
        seconds = 0; // NaN or negative: a clock that went back
    }
    if (buckets_.empty()) {
        buckets_.assign(BUCKETS, {});
        min_ = max_ = seconds;
    }
    min_ = std::min(min_, seconds);
    max_ = std::max(max_, seconds);
    size_t bucket = 0;
    if (seconds > LOWEST_SECONDS) {
        // Bucket i > 0 holds (LOWEST * STEP^(i-1), LOWEST * STEP^i].
        const double steps = std::ceil(std::log(seconds / LOWEST_SECONDS) / std::log(STEP));
        bucket = steps >= double(BUCKETS - 1) ? BUCKETS - 1 : size_t(std::max(steps, 1.0));
    }
    buckets_[bucket].count += 1;
    buckets_[bucket].sum += seconds;
    count_ += 1;
}

double DurationHistogram::quantile(double q) const {
    if (count_ == 0) {
        return 0;
    }
    const auto rank =
        std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * static_cast<double>(count_))));
    if (rank >= count_) {
        return max_;
    }
    uint64_t seen = 0;
    size_t bucket = 0;
    for (; bucket < BUCKETS; ++bucket) {
        seen += buckets_[bucket].count;
        if (seen >= rank) {
            break;
        }
    }
    // The mean of the bucket's times: exact when they are all one value.
    const Bucket& b = buckets_[bucket];
    return std::clamp(b.sum / static_cast<double>(b.count), min_, max_);
}

station::BoxCounts Counts::boxCounts() const {
    station::BoxCounts c;
    c.complete = complete;
    c.failed = failedBy[size_t(Outcome::DownloadError)] + failedBy[size_t(Outcome::NotResponding)];
    c.aborted = failedBy[size_t(Outcome::Aborted)];
    c.wrongBoxes = failedBy[size_t(Outcome::WrongBox)];
    c.portFailures = failedBy[size_t(Outcome::PortFailure)];
    return c;
}

double Counts::yield() const {
    double fraction = 0;
    station::yieldOf(boxCounts(), fraction);
    return fraction;
}

double Counts::boxesPerHour() const {
    return stationSeconds <= 0 ? 0.0 : double(complete) * 3600.0 / stationSeconds;
}

namespace {

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - (a % b < 0 ? 1 : 0);
}

// A time of --since or --until as milliseconds since 1970 UTC; `endOfDay` for --until, where a
// date keeps its whole day.
bool filterTime(std::string_view text, const LocalTime& local, bool endOfDay, int64_t& ms) {
    std::string full(text);
    if (text.size() >= 5 && text[2] == ':') {
        // 03:13: a time of today, here.
        full = formatTime(local.toLocal(local.nowMs)).substr(0, 10) + "T" + full;
    }
    bool date = false;
    bool zoned = false;
    if (!parseTime(full, ms, &date, &zoned)) {
        return false;
    }
    if (date && endOfDay) {
        ms += 86400000; // the whole day is in: up to the next day's local midnight
    }
    if (!zoned) {
        ms = local.toUtc(ms);
    }
    return true;
}

} // namespace

LocalTime LocalTime::system() {
    LocalTime local;
    local.nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    local.toLocal = [](int64_t utcMs) {
        const std::time_t t = std::time_t(floorDiv(utcMs, 1000));
        const std::tm* tm = std::localtime(&t);
        return tm == nullptr ? utcMs : civilMs(*tm) + (utcMs - int64_t(t) * 1000);
    };
    local.toUtc = [](int64_t localMs) {
        // The local fields, through gmtime (which does no zone), then mktime, which knows the
        // zone and its summer time (tm_isdst -1: find out).
        const std::time_t asUtc = std::time_t(floorDiv(localMs, 1000));
        const std::tm* fields = std::gmtime(&asUtc);
        if (fields == nullptr) {
            return localMs;
        }
        std::tm tm = *fields;
        tm.tm_isdst = -1;
        const std::time_t t = std::mktime(&tm);
        return t == std::time_t(-1) ? localMs
                                    : int64_t(t) * 1000 + (localMs - int64_t(asUtc) * 1000);
    };
    return local;
}

bool Filter::setSince(std::string_view text, const LocalTime& local) {
    hasSince = filterTime(text, local, false, sinceMs);
    return hasSince;
}

bool Filter::setUntil(std::string_view text, const LocalTime& local) {
    hasUntil = filterTime(text, local, true, untilMs);
    return hasUntil;
}

bool Filter::inWindow(int64_t startMs) const {
    return (!hasSince || startMs >= sinceMs) && (!hasUntil || startMs < untilMs);
}

bool Filter::wantsLine(const RecordLine& line) const {
    const auto wants = [](const std::vector<std::string>& list, const std::string& value) {
        return list.empty() || std::find(list.begin(), list.end(), value) != list.end();
    };
    return wantsPort(line.port) && wants(lots, line.lot) && wants(stations, line.station) &&
           (unit.empty() || line.unitSerial == unit);
}

bool Filter::wantsPort(const std::string& port) const {
    return ports.empty() || std::find(ports.begin(), ports.end(), port) != ports.end();
}

uint64_t Summary::lines() const {
    uint64_t n = 0;
    for (const FileFacts& f : files) {
        n += f.lines;
    }
    return n;
}

uint64_t Summary::skipped() const {
    uint64_t n = 0;
    for (const FileFacts& f : files) {
        n += f.skipped;
    }
    return n;
}

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A number at `at` as the station writes counts: digits, grouped by commas ("34,768").
size_t numberEnd(std::string_view text, size_t at) {
    size_t end = at;
    while (end < text.size() && (isDigit(text[end]) || (text[end] == ',' && end + 1 < text.size() &&
                                                        isDigit(text[end + 1]) && end > at))) {
        ++end;
    }
    return end;
}

bool startsWith(std::string_view text, size_t at, std::string_view word) {
    return text.substr(at, word.size()) == word;
}

} // namespace

bool naturalLess(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the numbers' values: without leading zeros, the longer is larger.
            size_t ie = i, je = j;
            while (ie < a.size() && isDigit(a[ie])) {
                ++ie;
            }
            while (je < b.size() && isDigit(b[je])) {
                ++je;
            }
            std::string_view x = a.substr(i, ie - i), y = b.substr(j, je - j);
            const auto trim = [](std::string_view& v) {
                while (v.size() > 1 && v.front() == '0') {
                    v.remove_prefix(1);
                }
            };
            trim(x);
            trim(y);
            if (x.size() != y.size()) {
                return x.size() < y.size();
            }
            if (x != y) {
                return x < y;
            }
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j) {
        return a.size() - i < b.size() - j;
    }
    return a < b; // equal as numbers ("COM03", "COM3"): still an order
}

std::string reasonCause(std::string_view reason) {
    std::string cause;
    cause.reserve(reason.size());
    size_t at = 0;
    while (at < reason.size()) {
        const bool wordStart = at == 0 || reason[at - 1] == ' ' || reason[at - 1] == '(';
        // "once" as a count ("refused it once"), not as in "at once".
        const bool atOnce = at >= 3 && reason.substr(at - 3, 3) == "at ";
        if (wordStart && !atOnce && startsWith(reason, at, "once") &&
            (at + 4 == reason.size() ||
             !std::isalpha(static_cast<unsigned char>(reason[at + 4])))) {
            cause += "N times";
            at += 4;
            continue;
        }
        if (wordStart && isDigit(reason[at])) {
            const size_t end = numberEnd(reason, at);
            const bool times = startsWith(reason, end, " times");
            const bool ofNumber = startsWith(reason, end, " of ") && end + 4 < reason.size() &&
                                  isDigit(reason[end + 4]);
            if (times || ofNumber) {
                cause += "N";
            } else {
                cause.append(reason.substr(at, end - at));
            }
            at = end;
            continue;
        }
        cause += reason[at++];
    }
    return cause;
}

Summariser::Summariser(Filter filter, uint32_t suspectAfter)
    : filter_(std::move(filter)), suspectAfter_(suspectAfter) {}

void Summariser::beginFile(const std::string& path) {
    files_.push_back({path, 0, 0, 0});
    span_ = {};
}

void Summariser::skip() {
    files_.back().lines += 1;
    files_.back().skipped += 1;
}

void Summariser::endFile() {
    if (span_.open) {
        files_.back().stationSeconds += double(span_.endMs - span_.startMs) / 1000;
    }
    span_ = {};
}

// Station time counts every attempt in the window, on any port: a port left out with --port
// was still part of the station.
void Summariser::noteTime(const RecordLine& line) {
    const int64_t end = line.hasEnd ? std::max(line.endMs, line.startMs)
                                    : line.startMs + int64_t(line.seconds() * 1000);
    if (!hasTimes_) {
        hasTimes_ = true;
        firstStartMs_ = line.startMs;
        lastEndMs_ = end;
    }
    firstStartMs_ = std::min(firstStartMs_, line.startMs);
    lastEndMs_ = std::max(lastEndMs_, end);
    if (span_.open && line.startMs > span_.endMs + IDLE_GAP_MS) {
        files_.back().stationSeconds += double(span_.endMs - span_.startMs) / 1000;
        span_.open = false;
    }
    if (!span_.open) {
        span_ = {true, line.startMs, end};
        return;
    }
    span_.startMs = std::min(span_.startMs, line.startMs);
    span_.endMs = std::max(span_.endMs, end);
}

Summariser::ImageState& Summariser::imageOf(const std::string& sha256) {
    return images_[sha256];
}

void Summariser::countBox(Counts& counts, const Box& box) {
    counts.boxes += 1;
    if (box.outcome == Outcome::Complete) {
        counts.complete += 1;
        counts.retriesSaved += box.attempt > 1 ? 1 : 0;
        counts.downloads.add(box.seconds);
        return;
    }
    counts.failedBy[size_t(box.outcome)] += 1;
    // Reasons past the limit, and a failure without one, share "", which keeps a place.
    const bool known = counts.reasons.count(box.cause) != 0;
    const size_t places = counts.reasons.size() + (counts.reasons.count("") != 0 ? 0 : 1);
    counts.reasons[known || places < Counts::MAX_REASONS ? box.cause : ""] += 1;
}

void Summariser::closeBox(PortState& port) {
    Box& box = port.box;
    if (box.open && box.counted) {
        box.cause = box.outcome == Outcome::Complete ? std::string() : reasonCause(box.reason);
        ImageState& image = imageOf(box.imageSha256);
        image.image = box.image;
        image.imageSize = box.imageSize;
        countBox(port.counts, box);
        countBox(image.counts, box);
        countBox(total_, box);
        for (std::vector<bool>* files : {&port.files, &image.files}) {
            files->resize(files_.size());
            (*files)[box.file] = true;
        }
        if (!box.releaseSha256.empty()) {
            ImageState& release = releases_[box.releaseSha256];
            release.image = box.releaseName;
            countBox(release.counts, box);
            release.files.resize(files_.size());
            release.files[box.file] = true;
        }
    }
    box.open = false;
}

void Summariser::add(const RecordLine& line) {
    files_.back().lines += 1;
    const bool inWindow = filter_.inWindow(line.startMs);
    if (inWindow) {
        noteTime(line);
    }
    if (!filter_.wantsLine(line)) {
        return;
    }
    if (!filter_.unit.empty() && inWindow) {
        history_.push_back(line);
    }
    if (lastPort_ == nullptr || lastPortName_ != line.port) {
        lastPort_ = &ports_[line.port];
        lastPortName_ = line.port;
    }
    PortState& port = *lastPort_;
    Box& box = port.box;
    // A further attempt of the box in hand: the box is counted by its last attempt, and it is
    // in the report when its first attempt is.
    const bool again = box.open && !line.boxSession.empty() && line.boxSession == box.session;
    if (!again) {
        closeBox(port);
    }
    const bool counted = again ? box.counted : inWindow;
    if (counted) {
        causes_.add(line);
    }
    if (counted) {
        port.failuresInRow = line.failuresInRow;
        port.seen = true;
    }
    if (line.outcome == Outcome::PortFailure && counted) {
        port.counts.portFailures += 1;
        imageOf(line.imageSha256).counts.portFailures += 1;
        total_.portFailures += 1;
    }
    // A port failure while no box was there is an event of the port, not a box. (A line
    // without boxSession otherwise is a box of its own: records from before retries.)
    if (line.boxSession.empty() && line.outcome == Outcome::PortFailure) {
        return;
    }
    if (!again) {
        box.open = true;
        box.counted = inWindow;
        box.session = line.boxSession;
        box.file = files_.size() - 1;
    }
    box.outcome = line.outcome;
    box.reason = line.reason;
    box.attempt = line.attempt;
    box.seconds = line.seconds();
    box.imageSha256 = line.imageSha256;
    box.image = line.image;
    box.imageSize = line.imageSize;
    box.releaseSha256 = line.releaseSha256;
    box.releaseName = line.releaseName;
    if (line.boxSession.empty()) {
        closeBox(port); // nothing can follow it
    }
}

double Summariser::timeOf(const std::vector<bool>& files) const {
    double seconds = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        seconds += files[i] ? files_[i].stationSeconds : 0.0;
    }
    return seconds;
}

Summary Summariser::finish() {
    Summary summary;
    // Across several records the attempts are in the order they happened, the newest last.
    std::stable_sort(
        history_.begin(), history_.end(),
        [](const RecordLine& a, const RecordLine& b) { return a.startMs < b.startMs; });
    summary.history = std::move(history_);
    std::vector<bool> all(files_.size(), true);
    for (auto& [name, port] : ports_) {
        closeBox(port);
    }
    for (auto& [name, port] : ports_) {
        if (!port.seen) {
            continue;
        }
        PortRow row{name, std::move(port.counts), port.failuresInRow,
                    port.failuresInRow >= suspectAfter_};
        row.counts.stationSeconds = timeOf(port.files);
        summary.ports.push_back(std::move(row));
    }
    for (auto& [sha, image] : images_) {
        ImageRow row{sha, image.image, image.imageSize, std::move(image.counts)};
        row.counts.stationSeconds = timeOf(image.files);
        summary.images.push_back(std::move(row));
    }
    for (auto& [sha, release] : releases_) {
        ReleaseRow row{sha, release.image, std::move(release.counts)};
        row.counts.stationSeconds = timeOf(release.files);
        summary.releases.push_back(std::move(row));
    }
    std::stable_sort(
        summary.releases.begin(), summary.releases.end(),
        [](const ReleaseRow& a, const ReleaseRow& b) { return naturalLess(a.name, b.name); });
    std::stable_sort(
        summary.ports.begin(), summary.ports.end(),
        [](const PortRow& a, const PortRow& b) { return naturalLess(a.port, b.port); });
    std::stable_sort(
        summary.images.begin(), summary.images.end(),
        [](const ImageRow& a, const ImageRow& b) { return naturalLess(a.image, b.image); });
    summary.total = std::move(total_);
    summary.total.stationSeconds = timeOf(all);
    summary.files = std::move(files_);
    summary.suspectAfter = suspectAfter_;
    summary.causes = causes_.groups();
    summary.hasTimes = hasTimes_;
    summary.firstStartMs = firstStartMs_;
    summary.lastEndMs = lastEndMs_;
    ports_.clear();
    images_.clear();
    releases_.clear();
    lastPort_ = nullptr;
    return summary;
}

} // namespace kestrune::report
