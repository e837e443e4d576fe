#include "station/station.h"

#include "common/sha256.h"
#include "common/system_error.h"
#include "common/text.h"
#include "link/adapter_latency.h"
#include "link/port_identity.h"
#include "station/record_io.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

namespace kestrune::station {

namespace {

// What a port's loop takes of the settings, at the start and at each reload.
void takeSettings(const StationSettings& settings, StationConfig& config) {
    config.settleSeconds = settings.settle;
    config.retries = settings.retries;
    config.suspectAfter = settings.suspectAfter;
    config.health = settings.health;
    config.provenance = settings.provenance;
    if (config.provenance.station.empty()) {
        config.provenance.station = record_io::hostName();
    }
    config.serial = {};
    if (!settings.serialDescriptor.empty()) {
        parseSerialSource(settings.serialDescriptor, config.serial); // checked by the command
    }
}

} // namespace

Station::Station(const StationSettings& settings, StopSignal& stop, ThreadStarter& threads)
    : settings_(settings), stop_(stop), threads_(threads), image_(std::make_unique<ServedImage>()) {
    takeSettings(settings, config_);
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
    return checkPortList(settings_.ports);
}

StartProblem checkPortList(const std::vector<std::string>& ports) {
    if (ports.empty()) {
        return {StartFailure::Usage, "give at least one --port"};
    }
    if (ports.size() > Station::MAX_PORTS) {
        return {StartFailure::Usage, "at most " + std::to_string(Station::MAX_PORTS) + " ports"};
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

std::unique_ptr<PortRunner> Station::makeRunner(const PortSlot& slot,
                                                const StationSettings& settings,
                                                const ServedImage* image,
                                                const release::LoadedRelease* release) {
    RunnerOptions options;
    options.port = slot.device;
    options.trace = settings.trace;
    options.waitIndefinitely = true;
    options.stop = &stop_;
    options.guard = settings.guard;
    options.threads = &threads_;
    // A scanned serial is bound to a slot by its name, the name the port goes by.
    if (config_.serial.on || scans_ != nullptr) {
        units_.push_back(std::make_unique<SlotUnits>(slot.name, config_.serial, scans_));
        options.unitCheck = units_.back().get();
    }
    const ServedImage* first = image;
    if (release != nullptr) {
        options.release = &release->release;
        for (const release::EntryCheck& entry : release->entries) {
            options.images.push_back(entry.image.get());
        }
        first = options.images.front();
    }
    return std::make_unique<PortRunner>(options, first->response, first->image.size());
}

std::vector<std::pair<std::string, std::string>> Station::openPorts() {
    std::vector<std::pair<std::string, std::string>> failed;
    for (const std::string& given : settings_.ports) {
        const PortSlot slot = portSlot(given);
        const std::string& port = slot.name;
        runners_.push_back(
            makeRunner(slot, settings_, image_.get(), hasRelease() ? &release_ : nullptr));
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
    const std::string ports = " on " + std::to_string(count) + " port" + (count == 1 ? "" : "s") +
                              "; " + settings_.stopWord + " stops";
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
    events.event("", describeProvenance(provenance()));
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
    events_ = &events;
    shares_.emplace_back(new StationShared{config_, events, stop_});
    StationShared& shared = *shares_.back();
    std::vector<PortStatus*> statuses;
    for (const auto& status : statuses_) {
        statuses.push_back(status.get());
    }
    health_ = std::make_unique<HealthBoard>(statuses, config_.health);
    shared.health = health_.get();
    for (size_t i = 0; i < count; ++i) {
        running_.push_back({statuses_[i].get(), runners_[i].get(), &shared, {}});
    }
    for (PortRun& port : running_) {
        startPort(port, false);
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
            events.event("", "stopping: no new boxes; downloads in progress finish (" +
                                 settings_.abortWord + " aborts them)");
            announced = 1;
        }
        if (signals >= 2 && announced < 2) {
            events.event("", "aborting the downloads in progress");
            announced = 2;
        }
        restartRetired();
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
    for (PortRun& port : running_) {
        if (port.thread.joinable()) {
            port.thread.join();
        }
    }
    for (const auto& one : shares_) {
        outputFailed_ = outputFailed_ || one->outputFailed.load();
    }
    events_ = nullptr;
}

void Station::startPort(PortRun& port, bool settleFirst) {
    PortStatus& status = *port.status;
    StationShared& shared = *port.shared;
    PortRunner& runner = *port.runner;
    status.state = settleFirst ? PortState::Settling : PortState::Waiting;
    const std::string failed =
        threads_.start(port.thread, [&shared, &runner, &status, settleFirst] {
            servePort(shared, runner, status, settleFirst);
        });
    if (!failed.empty()) {
        // The station cannot serve this port: it says so and stops taking boxes on every
        // port; downloads in progress finish.
        status.state = PortState::Stopped;
        portsNotStarted_ += 1;
        events_->event(status.port,
                       "cannot start the port's thread (" + failed + "); the station stops");
        stop_.stopWaiting();
    }
}

void Station::restartRetired() {
    for (PortRun& port : running_) {
        if (!port.retiring || port.status->state.load() != PortState::Stopped) {
            continue;
        }
        if (port.thread.joinable()) {
            port.thread.join();
        }
        port.retiring = false;
        if (port.next == nullptr || stop_.stopping()) {
            continue; // removed: it stays stopped
        }
        port.runner = port.next;
        port.shared = port.nextShared;
        port.next = nullptr;
        // Its last box may still be restarting: the line must be silent first.
        startPort(port, true);
    }
}

std::string Station::reload(const StationSettings& next) {
    auto gen = std::make_unique<Generation>();
    gen->settings = next;
    const StationSettings& s = gen->settings;
    if (const StartProblem problem = checkPortList(s.ports)) {
        return problem.text;
    }
    StationConfig& config = gen->config;
    config = config_;
    takeSettings(s, config); // the next shift's lot, operator and work order too
    const release::LoadedRelease* release = nullptr;
    if (!s.release.empty()) {
        release::loadRelease(s.release, s.releaseKey, release::nowMs(), gen->release);
        if (!gen->release.ok()) {
            return gen->release.firstProblem();
        }
        config.hasRelease = true;
        config.release = gen->release.facts;
        config.images.clear();
        for (const release::EntryCheck& entry : gen->release.entries) {
            config.images.push_back(entry.image->facts);
            gen->labels.push_back(entry.image->facts.label);
        }
        release = &gen->release;
    } else {
        LoadStatus status;
        if (!loadServedImage(s.image, *gen->image, status)) {
            return "the image " + s.image + " cannot be loaded";
        }
        config.hasRelease = false;
        config.image = gen->image->facts;
    }
    for (const auto& [dir, target] :
         {std::pair{&s.logDir, &config.logDir}, std::pair{&s.pcapDir, &config.pcapDir}}) {
        std::error_code error;
        if (!dir->empty()) {
            std::filesystem::create_directories(*dir, error);
        }
        if (!dir->empty() && !std::filesystem::is_directory(*dir, error)) {
            return "cannot make the folder " + *dir;
        }
        *target = *dir;
    }
    // The record last: once it is open again, nothing is refused.
    config.record = nullptr;
    if (!s.record.empty()) {
        if (const CrtError error = record_.reopen(s.record)) {
            return "cannot open the record " + s.record + ": " + systemErrorText(error);
        }
        config.record = &record_;
    }
    shares_.emplace_back(new StationShared{config, *events_, stop_});
    StationShared* shared = shares_.back().get();
    shared->health = health_.get();

    std::vector<bool> kept(s.ports.size(), false);
    for (PortRun& port : running_) {
        if (port.status->state.load() == PortState::Stopped && !port.retiring) {
            continue; // removed at an earlier reload
        }
        port.next = nullptr;
        for (size_t i = 0; i < s.ports.size(); ++i) {
            const PortSlot slot = portSlot(s.ports[i]);
            if (slot.name == port.status->port && slot.device == port.status->device) {
                kept[i] = true;
                runners_.push_back(makeRunner(slot, s, gen->image.get(), release));
                port.next = runners_.back().get();
                port.nextShared = shared;
            }
        }
        if (port.next == nullptr) {
            events_->event(port.status->port, "not in the new settings: stops after its box");
        }
        port.retiring = true;
        port.runner->stopWaiting();
    }
    for (size_t i = 0; i < s.ports.size(); ++i) {
        if (kept[i]) {
            continue;
        }
        const PortSlot slot = portSlot(s.ports[i]);
        runners_.push_back(makeRunner(slot, s, gen->image.get(), release));
        statuses_.push_back(std::make_unique<PortStatus>(slot.name));
        statuses_.back()->device = slot.device;
        statuses_.back()->imageLabels = release != nullptr ? &gen->labels : nullptr;
        shown_.push_back(statuses_.back().get());
        if (health_ != nullptr) {
            health_->addPort(*statuses_.back());
        }
        running_.push_back({statuses_.back().get(), runners_.back().get(), shared, {}});
        events_->event(slot.name, "a new port: " + slot.device);
        startPort(running_.back(), false);
    }
    if (scans_ != nullptr) {
        // Scans for the slots of the new settings only.
        std::vector<std::string> slots;
        for (const std::string& given : s.ports) {
            slots.push_back(portSlot(given).name);
        }
        std::vector<ScanBinder::Told> told;
        {
            const std::lock_guard<std::mutex> lock(scans_->mutex);
            told = scans_->binder.setSlots(std::move(slots));
        }
        for (const ScanBinder::Told& t : told) {
            events_->event(t.slot, t.text);
        }
    }
    const bool newWho = describeProvenance(provenance()) != describeProvenance(config.provenance);
    generations_.push_back(std::move(gen));
    if (newWho) {
        events_->event("", describeProvenance(provenance()));
    }
    return "";
}

bool Station::portsMoving(int64_t ms) const {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    for (const PortRun& port : running_) {
        const PortState state = port.status->state.load();
        if (state == PortState::Stopped || state == PortState::PortDown) {
            continue;
        }
        const int64_t last = port.runner->lastTickMs();
        if (last != 0 && now - last > ms) {
            return false;
        }
    }
    return true;
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
