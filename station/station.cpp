#include "station/station.h"

#include "common/sha256.h"
#include "common/system_error.h"
#include "common/text.h"
#include "link/adapter_latency.h"
#include "link/port_identity.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

namespace kestrune::station {

Station::Station(const StationSettings& settings, StopSignal& stop, ThreadStarter& threads)
    : settings_(settings), stop_(stop), threads_(threads), image_(std::make_unique<ServedImage>()) {
    config_.settleSeconds = settings.settle;
    config_.retries = settings.retries;
    config_.suspectAfter = settings.suspectAfter;
    config_.health = settings.health;
}

Station::~Station() = default;

PortSlot portSlot(const std::string& port) {
    // A Windows device name has no '=', nor has a POSIX path in practice: the first one ends
    // the slot's name.
    const size_t equals = port.find('=');
    if (equals == std::string::npos) {
        return {port, port, false};
    }
    return {port.substr(0, equals), port.substr(equals + 1), true};
}

StartProblem Station::checkPorts() const {
    const std::vector<std::string>& ports = settings_.ports;
    if (ports.empty()) {
        return {StartFailure::Usage, "give at least one --port"};
    }
    if (ports.size() > MAX_PORTS) {
        return {StartFailure::Usage, "at most " + std::to_string(MAX_PORTS) + " ports"};
    }
    // One device, one runner: two names of the same device (a link, a by-id name) would fight
    // over it.
    std::map<std::string, std::string> devices, names;
    for (const std::string& given : ports) {
        const PortSlot slot = portSlot(given);
        const std::string& port = slot.device;
        if (port.empty()) {
            return {StartFailure::Usage, "--port needs a device name"};
        }
        if (slot.name.empty()) {
            return {StartFailure::Usage, "--port " + given + " needs a slot name before ="};
        }
        if (const auto [at, added] = names.emplace(slot.name, given); !added && slot.named) {
            return {StartFailure::Usage, "the slot " + slot.name + " is given twice (--port " +
                                             at->second + ", --port " + given + ")"};
        }
        const auto [at, added] = devices.emplace(portIdentity(port), port);
        if (!added) {
            return {StartFailure::Usage,
                    at->second == port
                        ? "--port " + port + " is given twice"
                        : "--port " + at->second + " and --port " + port + " are the same device"};
        }
    }
    return {};
}

bool Station::loadImage(LoadStatus& status) {
    if (!loadServedImage(settings_.image, *image_, status)) {
        return false;
    }
    config_.image = image_->facts;
    return true;
}

std::string Station::loadRelease() {
    release::loadRelease(settings_.release, settings_.releaseKey, release::nowMs(), release_);
    if (!release_.ok()) {
        return release_.firstProblem();
    }
    config_.hasRelease = true;
    config_.release = release_.facts;
    for (const release::EntryCheck& entry : release_.entries) {
        config_.images.push_back(entry.image->facts);
        labels_.push_back(entry.image->facts.label);
    }
    return "";
}

StartProblem Station::openOutputs() {
    std::error_code ignored;
    for (const std::string* path : {&settings_.record, &settings_.logDir, &settings_.pcapDir}) {
        if (!path->empty() && std::filesystem::equivalent(*path, settings_.image, ignored)) {
            return {StartFailure::Usage, *path + " is the image itself"};
        }
        if (!path->empty() && hasRelease() &&
            std::filesystem::equivalent(*path, settings_.release, ignored)) {
            return {StartFailure::Usage, *path + " is the release itself"};
        }
    }
    if (!settings_.record.empty()) {
        if (const CrtError error = record_.open(settings_.record)) {
            return {StartFailure::CannotWrite,
                    "cannot open the record " + settings_.record + ": " + systemErrorText(error)};
        }
        config_.record = &record_;
    }
    for (const auto& [dir, target] : {std::pair{&settings_.logDir, &config_.logDir},
                                      std::pair{&settings_.pcapDir, &config_.pcapDir}}) {
        if (dir->empty()) {
            continue;
        }
        std::error_code error;
        std::filesystem::create_directories(*dir, error);
        if (!std::filesystem::is_directory(*dir, ignored)) {
            return {StartFailure::CannotWrite,
                    "cannot make the folder " + *dir + ": " +
                        (error ? error.message() : std::string("not a folder"))};
        }
        *target = *dir;
    }
    return {};
}

std::vector<std::pair<std::string, std::string>> Station::openPorts() {
    std::vector<std::pair<std::string, std::string>> failed;
    for (const std::string& given : settings_.ports) {
        const PortSlot slot = portSlot(given);
        const std::string& port = slot.name;
        RunnerOptions options;
        options.port = slot.device;
        options.trace = settings_.trace;
        options.waitIndefinitely = true;
        options.stop = &stop_;
        options.guard = settings_.guard;
        options.threads = &threads_;
        const ServedImage* first = image_.get();
        if (hasRelease()) {
            options.release = &release_.release;
            for (const release::EntryCheck& entry : release_.entries) {
                options.images.push_back(entry.image.get());
            }
            first = options.images.front();
        }
        runners_.push_back(
            std::make_unique<PortRunner>(options, first->response, first->image.size()));
        statuses_.push_back(std::make_unique<PortStatus>(port));
        statuses_.back()->device = slot.device;
        statuses_.back()->imageLabels = hasRelease() ? &labels_ : nullptr;
        shown_.push_back(statuses_.back().get());
        PortOpenError failure = PortOpenError::None;
        if (!runners_.back()->portOpens(failure)) {
            failed.emplace_back(port, describePortProblem(failure, slot.device));
        }
    }
    return failed;
}

void Station::run(StationEvents& events, const std::function<void()>& tick) {
    const size_t count = runners_.size();
    const std::string ports =
        " on " + std::to_string(count) + " port" + (count == 1 ? "" : "s") + "; Ctrl-C stops";
    if (hasRelease()) {
        const std::vector<std::string> lines = release::describeLoaded(release_);
        for (size_t i = 0; i < lines.size(); ++i) {
            events.event("", (i == 0 ? "serving " : "") + lines[i] + (i == 0 ? ports : ""));
        }
    } else {
        events.event("", "serving " + settings_.image + " (" + groupDigits(image_->facts.size) +
                             " bytes, SHA-256 " + image_->facts.sha256.substr(0, 16) + "...)" +
                             ports);
    }
    if (!recording()) {
        events.event("", "no record: this shift's boxes are on the screen only");
    }
    // A USB adapter that holds bytes slows every frame: say so before the first box.
    for (const auto& status : statuses_) {
        if (const std::string latency = latencyLine(readLatencyFacts(status->device));
            !latency.empty()) {
            events.event(status->port, latency);
        }
    }
    StationShared shared{config_, events, stop_};
    std::vector<PortStatus*> statuses;
    for (const auto& status : statuses_) {
        statuses.push_back(status.get());
    }
    health_ = std::make_unique<HealthBoard>(statuses, config_.health);
    shared.health = health_.get();
    std::vector<std::thread> threads(count);
    for (size_t i = 0; i < count; ++i) {
        PortRunner& runner = *runners_[i];
        PortStatus& status = *statuses_[i];
        const std::string failed = threads_.start(
            threads[i], [&shared, &runner, &status] { servePort(shared, runner, status); });
        if (!failed.empty()) {
            // The station cannot serve this port: it says so and stops taking boxes on every
            // port; downloads in progress finish.
            status.state = PortState::Stopped;
            portsNotStarted_ += 1;
            events.event(status.port,
                         "cannot start the port's thread (" + failed + "); the station stops");
            stop_.stopWaiting();
        }
    }

    int announced = 0;
    bool expiryTold = false;
    for (;;) {
        if (hasRelease() && !expiryTold && release::expired(release_.release, release::nowMs())) {
            // No new box after the release's time; a download in progress finishes.
            expiryTold = true;
            events.event("", "the release " + release_.release.name + " expired at " +
                                 release_.release.expiresText + ": no new boxes");
            stop_.stopWaiting();
        }
        if (settings_.stopAfter != 0 && announced < 1 && totals().done >= settings_.stopAfter) {
            events.event("", std::to_string(settings_.stopAfter) +
                                 " boxes complete (--stop-after): no new boxes; downloads in "
                                 "progress finish");
            announced = 1;
            stop_.stopWaiting();
        }
        const int signals = stop_.level();
        if (signals >= 1 && announced < 1) {
            events.event("", "stopping: no new boxes; downloads in progress finish (Ctrl-C "
                             "again aborts them)");
            announced = 1;
        }
        if (signals >= 2 && announced < 2) {
            events.event("", "aborting the downloads in progress");
            announced = 2;
        }
        bool allStopped = true;
        for (const auto& status : statuses_) {
            allStopped = allStopped && status->state.load() == PortState::Stopped;
        }
        if (allStopped) {
            break;
        }
        tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (std::thread& t : threads) {
        if (t.joinable()) {
            t.join();
        }
    }
    outputFailed_ = shared.outputFailed.load();
}

StationTotals Station::totals() const {
    StationTotals t;
    for (const auto& status : statuses_) {
        t.done += status->done;
        t.failed += status->failed;
        t.aborted += status->aborted;
        t.portFailures += status->portFailures;
        t.wrongBoxes += status->wrongBoxes;
        t.boxes += boxCountsOf(*status);
        if (status->suspect) {
            t.suspects.emplace_back(status->port, status->failuresInRow.load());
        }
    }
    return t;
}

StationResult Station::result() const {
    const StationTotals t = totals();
    if (outputFailed_) {
        return StationResult::OutputFailed;
    }
    if (portsNotStarted_ != 0) {
        return StationResult::PortNotStarted;
    }
    if (t.aborted != 0) {
        return StationResult::Aborted;
    }
    return t.failed != 0 || t.portFailures != 0 || t.wrongBoxes != 0 ? StationResult::Failed
                                                                     : StationResult::AllComplete;
}

} // namespace kestrune::station
