#pragma once

// A station: many ports served at once, box after box, until it is stopped. It owns what every
// front end of it (the command, its page, a service) would otherwise repeat: the checks before
// the start (one device under one name, outputs that are not the image), the image loaded once
// and hashed, the record and the output folders, a runner and a thread per port, the stop and
// abort words, the totals at the end and what they make of the run. The front end draws and
// prints; the station's threads live only inside run(), so nothing they use can be gone while
// they run.

#include "image/image_loader.h"
#include "release/release_load.h"
#include "station/attempt_runner.h"
#include "station/port_status.h"
#include "station/record.h"
#include "station/station_loop.h"
#include "station/stop.h"
#include "station/thread_start.h"
#include "station/unit_serial.h"
#include "station/yield.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrune::station {

// What a station is asked to do: the options of its command, as the command reads them.
struct StationSettings {
    std::vector<std::string> ports; // DEVICE, or SLOT=DEVICE (portSlot)
    std::string image;
    std::string record;  // the record file, or ""
    std::string logDir;  // a Test Log per download here, or ""
    std::string pcapDir; // a capture per download here, or ""
    double settle = 3;
    unsigned retries = 0;
    unsigned suspectAfter = 3;
    bool force = false; // serve an image without modules
    bool trace = false;
    HardwareGuard guard;
    // A release instead of `image` (and of a guard): each box gets the image its hardware fits.
    std::string release;
    std::string releaseKey;  // the signature is required when given
    HealthThresholds health; // when a port's link is degrading
    // Into every record line, the page and /api/station; a reload may replace them.
    Provenance provenance;
    std::string serialDescriptor; // TYPE[:ascii|hex] of the box's serial, or ""
    // Every record line sent on to the factory's system, or "".
    std::string forward;
    std::string forwardName = "MES";
    double forwardTimeout = 10;      // seconds per request
    double forwardDrainSeconds = 30; // at the end, how long to wait for the backlog
    std::string scanner;             // the barcode scanner's device, or ""
    double scanTimeout = 120;        // seconds a scanned serial waits for its box
    uint32_t stopAfter = 0;          // no new box after this many complete ones (0: no end)
    // How whoever runs the station stops it, and aborts the downloads: what its lines tell.
    std::string stopWord = "Ctrl-C";
    std::string abortWord = "Ctrl-C again";
};

// A port as the station is given it: "A1=/dev/serial/by-path/..." is the slot A1 of a fixture
// on that device, and A1 is its name in every output; a device alone is its own name.
struct PortSlot {
    std::string name;
    std::string device;
    bool named = false;
};
PortSlot portSlot(const std::string& port);
// At least one port, at most Station::MAX_PORTS, each slot and device once.
struct StartProblem;
StartProblem checkPortList(const std::vector<std::string>& ports);

using release::loadServedImage;
using release::ServedImage;

enum class StartFailure { None, Usage, CannotWrite };
struct StartProblem {
    StartFailure failure = StartFailure::None;
    std::string text;
    explicit operator bool() const { return failure != StartFailure::None; }
};

// How a station's run ended, worst first: what its exit status says.
enum class StationResult {
    OutputFailed,   // a record line, a Test Log or a capture could not be written
    PortNotStarted, // a port could not get its thread
    Aborted,        // downloads were aborted
    Failed,         // a box failed, a port failed, or a wrong box came
    AllComplete,    // every recorded download completed
};

struct StationTotals {
    uint32_t done = 0, failed = 0, aborted = 0, portFailures = 0, wrongBoxes = 0;
    // Every box once, by its last attempt: what the yield is of.
    BoxCounts boxes;
    // The suspect ports and their failures in a row, in the order of --port.
    std::vector<std::pair<std::string, uint32_t>> suspects;
};

class Station {
public:
    static constexpr size_t MAX_PORTS = 256;

    Station(const StationSettings& settings, StopSignal& stop,
            ThreadStarter& threads = systemThreads());
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The start, in this order; each says what is wrong, if anything.
    // The ports' names: at least one, each device once.
    StartProblem checkPorts() const;
    // Loads and hashes the image (the command checks what it holds: checkImageToServe).
    bool loadImage(LoadStatus& status);
    const ServedImage& image() const { return *image_; }
    // With a release: loads it and every image of it; "" when a station can start from it,
    // else the sentence that says why not.
    std::string loadRelease();
    const release::LoadedRelease& release() const { return release_; }
    bool hasRelease() const { return !settings_.release.empty(); }
    // The record and the output folders, none of them the image itself.
    StartProblem openOutputs();
    // Serials scanned for the ports' slots (none: no scanner); before openPorts.
    void useScanner(ScanBoard* scans) { scans_ = scans; }
    // Every port must open before any box is served: the ports that do not, each with why.
    std::vector<std::pair<std::string, std::string>> openPorts();

    // In the order of --port, once the ports are open; a reload adds the ports it adds at the
    // end (one removed stays, stopped).
    const std::vector<PortStatus*>& ports() const { return shown_; }
    bool recording() const { return config_.record != nullptr; }
    // Who and where, as every record line says it (the station's name filled in), after the
    // last reload.
    const Provenance& provenance() const {
        return generations_.empty() ? config_.provenance : generations_.back()->config.provenance;
    }

    // Serves every port until all have stopped (the stop signal's first level ends waiting,
    // the second aborts downloads), telling `events` everything; `tick` runs on the calling
    // thread about every 100 ms. Every port thread that started has been joined when it
    // returns.
    void run(StationEvents& events, const std::function<void()>& tick);

    // Most ports' links worsened at once (station/port_health.h): told once when it happens.
    bool lineWorsened() const { return health_ != nullptr && health_->lineWorsened(); }

    // From `tick`, at a reload (SIGHUP): the station goes on with `next` (its ports, image or
    // release, record and options). Each port takes the new settings for its next box, a
    // download in progress finishes with what it started with, a port no longer in `next`
    // stops after its box, a new one starts; the record is opened again. "" when done, else
    // why not, and nothing has changed.
    std::string reload(const StationSettings& next);
    // Whether every port that is not stopped went round its loop within `ms` (a port waiting
    // between tries of its device counts as moving).
    bool portsMoving(int64_t ms) const;

    StationTotals totals() const;
    StationResult result() const;

private:
    // One set of settings after a reload, kept until the station ends: its runners' images
    // point into it.
    struct Generation {
        StationSettings settings;
        std::unique_ptr<ServedImage> image = std::make_unique<ServedImage>();
        release::LoadedRelease release;
        std::vector<std::string> labels;
        StationConfig config;
    };
    // A port's thread and what it is to serve next.
    struct PortRun {
        PortStatus* status = nullptr;
        PortRunner* runner = nullptr;
        StationShared* shared = nullptr;
        std::thread thread;
        bool retiring = false;      // told to stop after its box
        PortRunner* next = nullptr; // then served with this (none: the port was removed)
        StationShared* nextShared = nullptr;
    };
    std::unique_ptr<PortRunner> makeRunner(const PortSlot& slot, const StationSettings& settings,
                                           const ServedImage* image,
                                           const release::LoadedRelease* release);
    void startPort(PortRun& port, bool settleFirst);
    void restartRetired();

    const StationSettings& settings_;
    StopSignal& stop_;
    ThreadStarter& threads_;
    std::unique_ptr<ServedImage> image_;
    release::LoadedRelease release_;
    std::vector<std::string> labels_; // the release's, one per entry
    StationConfig config_;
    RecordFile record_;
    std::vector<std::unique_ptr<PortStatus>> statuses_;
    std::vector<PortStatus*> shown_;
    std::vector<std::unique_ptr<PortRunner>> runners_;
    ScanBoard* scans_ = nullptr;
    std::vector<std::unique_ptr<SlotUnits>> units_;
    std::unique_ptr<HealthBoard> health_;
    std::vector<std::unique_ptr<Generation>> generations_;
    std::vector<std::unique_ptr<StationShared>> shares_;
    std::vector<PortRun> running_;
    StationEvents* events_ = nullptr; // while run() runs
    bool outputFailed_ = false;
    uint32_t portsNotStarted_ = 0;
};

} // namespace kestrune::station
