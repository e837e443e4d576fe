#include "report/summary.h"

#include <algorithm>
#include <cmath>
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

double Counts::yield() const {
    return boxes == 0 ? 0.0 : double(complete) / double(boxes);
}

double Counts::boxesPerHour() const {
    return stationSeconds <= 0 ? 0.0 : double(complete) * 3600.0 / stationSeconds;
}

bool Filter::setSince(std::string_view text) {
    hasSince = parseTime(text, sinceMs);
    return hasSince;
}

bool Filter::setUntil(std::string_view text) {
    bool date = false;
    hasUntil = parseTime(text, untilMs, &date);
    if (hasUntil && date) {
        untilMs += 86400000; // the whole day is in
    }
    return hasUntil;
}

bool Filter::inWindow(int64_t startMs) const {
    return (!hasSince || startMs >= sinceMs) && (!hasUntil || startMs < untilMs);
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
    const bool known = counts.reasons.count(box.reason) != 0;
    const size_t places = counts.reasons.size() + (counts.reasons.count("") != 0 ? 0 : 1);
    counts.reasons[known || places < Counts::MAX_REASONS ? box.reason : ""] += 1;
}

void Summariser::closeBox(PortState& port) {
    Box& box = port.box;
    if (box.open && box.counted) {
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
    }
    box.open = false;
}

void Summariser::add(const RecordLine& line) {
    files_.back().lines += 1;
    const bool inWindow = filter_.inWindow(line.startMs);
    if (inWindow) {
        noteTime(line);
    }
    if (!filter_.wantsPort(line.port)) {
        return;
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
    std::stable_sort(summary.images.begin(), summary.images.end(),
                     [](const ImageRow& a, const ImageRow& b) { return a.image < b.image; });
    summary.total = std::move(total_);
    summary.total.stationSeconds = timeOf(all);
    summary.files = std::move(files_);
    summary.suspectAfter = suspectAfter_;
    summary.hasTimes = hasTimes_;
    summary.firstStartMs = firstStartMs_;
    summary.lastEndMs = lastEndMs_;
    ports_.clear();
    images_.clear();
    lastPort_ = nullptr;
    return summary;
}

} // namespace kestrune::report
