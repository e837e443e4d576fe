#pragma once

// One port of a station as its front ends see it: its state and its counts, written by the
// port's thread (and, for the progress, its session thread), read by the table, the summary and
// anything else that shows the station. The counts are the station's one set of words:
//   done     boxes whose download completed
//   failed   boxes whose download ended as "download error" or "not responding"
//   aborted  downloads stopped from outside (a second Ctrl-C)
//   portFailures  times the port itself failed (could not be opened, or went away): a port
//            event, not a box
//   wrongBoxes    boxes that were not the expected hardware, and were not served

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::station {

enum class PortState { Waiting, Downloading, Settling, PortDown, Stopped };

// The state in the words every front end shows: "waiting", "downloading", "settling",
// "port failure", "stopped".
inline const char* stateName(PortState state) {
    switch (state) {
    case PortState::Waiting:
        return "waiting";
    case PortState::Downloading:
        return "downloading";
    case PortState::Settling:
        return "settling";
    case PortState::PortDown:
        return "port failure";
    case PortState::Stopped:
        break;
    }
    return "stopped";
}

struct PortStatus {
    explicit PortStatus(std::string name) : port(std::move(name)) {}
    const std::string port; // its name: the slot's, or the device's when it has none
    std::string device;     // set before the port runs
    std::atomic<PortState> state{PortState::Waiting};
    // Of the download in progress: module bytes the box has acknowledged, of its total.
    std::atomic<uint64_t> acknowledgedBytes{0};
    std::atomic<uint64_t> totalBytes{0};
    std::atomic<int64_t> startedMs{0}; // steady clock, when the download began
    // Steady clock: when the port last heard its line busy (a download's end, a wake-up byte
    // while it settled). A port restarted at a reload waits out only the rest of the silence:
    // a line that was quiet long enough already may have the next box waking on it.
    std::atomic<int64_t> lineHeardMs{0};
    std::atomic<uint32_t> done{0};
    std::atomic<uint32_t> failed{0};
    std::atomic<uint32_t> aborted{0};
    std::atomic<uint32_t> portFailures{0};
    std::atomic<uint32_t> portFailureBoxes{0}; // of portFailures, those with a box on the port
    std::atomic<uint32_t> wrongBoxes{0};
    // Failures in a row (download errors, not responding, port failures), and whether that
    // made the port a suspect: a bad cable or adapter rather than a bad box.
    std::atomic<uint32_t> failuresInRow{0};
    std::atomic<bool> suspect{false};
    // Link quality over the port's last boxes (station/port_health.h): resends per KiB
    // delivered, once a box has been served, and whether it is degrading against the line.
    std::atomic<bool> healthKnown{false};
    std::atomic<double> linkQuality{0};
    std::atomic<bool> degrading{false};
    // The hardware the box of this attempt said it is, from its request: 0 while unknown,
    // BOX_NO_HARDWARE without a hardware descriptor, else BOX_HARDWARE | model << 16 | version.
    static constexpr uint64_t BOX_HARDWARE = uint64_t(1) << 63;
    static constexpr uint64_t BOX_NO_HARDWARE = uint64_t(1) << 62;
    std::atomic<uint64_t> boxHardware{0};
    // Under a release: the entry whose image the port served last (-1: none yet).
    std::atomic<int> lastEntry{-1};
    // The release's labels, one per entry (none without a release); set before the port runs.
    const std::vector<std::string>* imageLabels = nullptr;

    // The label of the image the port served last, "" for none.
    std::string lastImage() const {
        const int entry = lastEntry.load();
        return imageLabels != nullptr && entry >= 0 && size_t(entry) < imageLabels->size()
                   ? (*imageLabels)[size_t(entry)]
                   : std::string();
    }
};

} // namespace kestrune::station
