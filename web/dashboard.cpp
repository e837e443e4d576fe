#include "web/dashboard.h"

#include "dsmcc/identity.h"
#include "kestrune/version.h"
#include "report/record_line.h"
#include "station/record.h"
#include "station/verdict.h"

namespace kestrune::web {
namespace {

using station::PortState;

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

Dashboard::Dashboard(std::vector<const station::PortStatus*> ports,
                     const station::ImageFacts& image, station::StationEvents& next,
                     DashboardOptions options, const release::LoadedRelease* release)
    : ports_(std::move(ports)), image_(image), release_(release), next_(next), options_(options),
      started_(std::chrono::system_clock::now()), startedSteady_(std::chrono::steady_clock::now()),
      counted_(ports_.size()) {
    if (release_ != nullptr) {
        for (const release::ReleaseEntry& entry : release_->release.entries) {
            labels_.push_back(entry.label);
        }
    }
}

void Dashboard::event(const std::string& port, const std::string& text) {
    next_.event(port, text);
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({station::isoTime(std::chrono::system_clock::now()), port, text});
    while (events_.size() > options_.events) {
        events_.pop_front();
    }
}

void Dashboard::attemptEnded(const station::PortStatus& status,
                             const station::AttemptReport& report,
                             const station::AttemptPlace& place) {
    next_.attemptEnded(status, report, place);
    const double seconds = std::chrono::duration<double>(report.ended - report.started).count();
    std::lock_guard<std::mutex> lock(mutex_);
    // Read into the causes by the web's thread (causesNow): the port only leaves a copy.
    unread_.push_back({status.port, report, place});
    if (place.healthKnown) {
        lineWorsened_ = place.lineWorsened;
    }
    for (size_t i = 0; i < ports_.size(); ++i) {
        if (ports_[i] != &status) {
            continue;
        }
        PortView& p = counted_[i];
        const std::string outcome = station::outcomeName(report.outcome);
        p.attempts[outcome] += 1;
        const std::string image =
            report.entry >= 0 && static_cast<size_t>(report.entry) < labels_.size()
                ? labels_[static_cast<size_t>(report.entry)]
                : "";
        p.attemptsByImage[{outcome, image}] += 1;
        if (!image.empty()) {
            p.lastImage = image;
        }
        p.retries += place.attempt > 1 ? 1 : 0;
        if (report.boxWoke) {
            p.deliveredBytes += report.deliveredBytes;
            p.framesResent += report.framesResent;
            const size_t bucket = durationBucket(seconds);
            if (bucket < p.durationBuckets.size()) {
                p.durationBuckets[bucket] += 1;
            }
            p.durationCount += 1;
            p.durationSum += seconds;
        }
        p.hasLast = true;
        p.last = {outcome,
                  report.reason,
                  station::isoTime(report.ended),
                  seconds,
                  report.deliveredBytes,
                  place.attempt,
                  report.identity.requestSeen ? describeIdentity(report.identity) : ""};
    }
}

std::vector<report::CauseGroup> Dashboard::causesNow() const {
    std::lock_guard<std::mutex> causesLock(causesMutex_);
    std::vector<Unread> unread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unread.swap(unread_);
    }
    // Each attempt's record line, read back as the report reads it, so that the page and the
    // report cannot tell a shift's failures apart differently.
    for (const Unread& u : unread) {
        const std::string text = station::recordLine(u.report, u.port, image_, "", "", u.place);
        report::RecordLine line;
        if (report::parseRecordLine(std::string_view(text).substr(0, text.size() - 1), line)) {
            causes_.add(line);
        }
    }
    if (!unread.empty()) {
        causeGroups_ = causes_.groups();
    }
    return causeGroups_;
}

void Dashboard::addPort(const station::PortStatus* port) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ports_.push_back(port);
    counted_.emplace_back();
}

void Dashboard::traceability(const station::Provenance& provenance,
                             const station::Forwarder* forwarder) {
    const std::lock_guard<std::mutex> lock(mutex_);
    provenance_ = provenance;
    forwarder_ = forwarder;
}

StationView Dashboard::view() const {
    StationView v;
    v.causes = causesNow();
    v.version = KESTRUNE_VERSION;
    v.image = image_.path;
    v.imageSize = image_.size;
    v.imageSha256 = image_.sha256;
    if (release_ != nullptr) {
        v.hasRelease = true;
        v.releaseName = release_->facts.name;
        v.releaseSha256 = release_->facts.sha256;
        v.releaseKeyId = release_->facts.keyId;
        v.imageLabels = labels_;
    }
    v.startTime = station::isoTime(started_);
    v.startUnixSeconds = std::chrono::duration<double>(started_.time_since_epoch()).count();
    v.now = station::isoTime(std::chrono::system_clock::now());
    v.uptimeSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - startedSteady_).count();
    const int64_t now = steadyMs();
    if (forwarder_ != nullptr) {
        // The forwarder's own lock, before the dashboard's: never both at once.
        const station::ForwardState f = forwarder_->state();
        v.forwarding = true;
        v.forward.name = f.name;
        v.forward.text = station::describeForward(f);
        v.forward.pending = f.pending;
        v.forward.delivered = f.delivered;
        v.forward.refused = f.refused;
        v.forward.lastError = f.lastError;
        if (f.lastErrorMs != 0) {
            v.forward.lastErrorTime = station::isoTime(
                std::chrono::system_clock::time_point(std::chrono::milliseconds(f.lastErrorMs)));
        }
        v.forward.errors = f.errors;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    v.stationName = provenance_.station;
    v.lot = provenance_.lot;
    v.operatorName = provenance_.operatorName;
    v.workOrder = provenance_.workOrder;
    for (size_t i = 0; i < ports_.size(); ++i) {
        const station::PortStatus& s = *ports_[i];
        PortView p = counted_[i];
        p.port = s.port;
        p.state = station::stateName(s.state.load());
        p.suspect = s.suspect.load();
        p.failuresInRow = s.failuresInRow.load();
        p.acknowledgedBytes = s.acknowledgedBytes.load();
        p.totalBytes = s.totalBytes.load();
        p.downloadSeconds = static_cast<double>(now - s.startedMs.load()) / 1000.0;
        p.done = s.done.load();
        p.failed = s.failed.load();
        p.aborted = s.aborted.load();
        p.portFailures = s.portFailures.load();
        p.portFailureBoxes = s.portFailureBoxes.load();
        p.wrongBoxes = s.wrongBoxes.load();
        p.healthKnown = s.healthKnown.load();
        p.linkQuality = s.linkQuality.load();
        p.degrading = s.degrading.load();
        v.ports.push_back(std::move(p));
    }
    v.lineWorsened = lineWorsened_;
    v.events.assign(events_.begin(), events_.end());
    v.web = web_;
    return v;
}

Message Dashboard::messageLocked(const std::string& json) const {
    return std::make_shared<const std::string>("data: " + json + "\n\n");
}

void Dashboard::publish() {
    const StationView v = view();
    std::string state = stationJson(v, false);
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (state == lastState_ && now - lastSent_ < options_.heartbeat) {
        return;
    }
    lastState_ = std::move(state);
    lastSent_ = now;
    lastMessage_ = messageLocked(stationJson(v));
    for (auto at = clients_.begin(); at != clients_.end();) {
        if ((*at)->push(lastMessage_)) {
            ++at;
        } else {
            dropped_ += 1;
            at = clients_.erase(at);
        }
    }
}

std::shared_ptr<ClientQueue> Dashboard::subscribe() {
    auto client = std::make_shared<ClientQueue>(options_.queueMessages);
    // A reconnecting page waits a second before it tries again.
    client->push(std::make_shared<const std::string>("retry: 1000\n\n"));
    const std::string now = stationJson(view());
    std::lock_guard<std::mutex> lock(mutex_);
    client->push(messageLocked(now));
    clients_.push_back(client);
    return client;
}

void Dashboard::unsubscribe(const std::shared_ptr<ClientQueue>& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(clients_, client);
}

void Dashboard::closeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& client : clients_) {
        client->close();
    }
    clients_.clear();
}

size_t Dashboard::clients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

uint64_t Dashboard::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void Dashboard::web(const WebView& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    web_ = state;
}

} // namespace kestrune::web
