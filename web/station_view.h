#pragma once

// The station as the web layer shows it: a plain copy of every port's state and counts, taken
// under the dashboard's lock, and the two texts made from it: the JSON of /api/station (and of
// every message of /events) and the Prometheus text of /metrics. Pure functions of the copy, so
// that a table of fake stations tests them.

#include "report/causes.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::web {

// Upper bounds of the download duration histogram, in seconds (+Inf is implied).
constexpr std::array<double, 10> DURATION_BUCKETS = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600};

struct LastAttempt {
    std::string outcome; // the record's word: "complete", "download error", ...
    std::string reason;  // "" when complete
    std::string end;     // ISO 8601, UTC
    double durationSeconds = 0;
    uint64_t deliveredBytes = 0;
    uint32_t attempt = 1;
    std::string box; // who the box said it is ("" when it did not say)
};

struct PortView {
    std::string port;
    std::string state; // "waiting", "downloading", "settling", "port failure", "stopped"
    bool suspect = false;
    uint32_t failuresInRow = 0;
    // The link's quality over the port's last boxes (station/port_health.h), once known.
    bool healthKnown = false;
    double linkQuality = 0; // resends per KiB delivered
    bool degrading = false;
    // Of the download in progress.
    uint64_t acknowledgedBytes = 0;
    uint64_t totalBytes = 0;
    double downloadSeconds = 0;
    // The table's counts (a box once, by its last attempt).
    uint32_t done = 0;
    uint32_t failed = 0;
    uint32_t aborted = 0;
    uint32_t portFailures = 0;
    uint32_t portFailureBoxes = 0; // of portFailures, those with a box on the port
    uint32_t wrongBoxes = 0;
    // Of every recorded attempt: its outcome, module bytes, frames resent, duration.
    std::map<std::string, uint64_t> attempts; // by outcome word
    uint64_t retries = 0;                     // attempts after a box's first
    uint64_t deliveredBytes = 0;
    uint64_t framesResent = 0;
    std::array<uint64_t, DURATION_BUCKETS.size()> durationBuckets{}; // not cumulative
    uint64_t durationCount = 0;
    double durationSum = 0;
    bool hasLast = false;
    LastAttempt last;
    // Under a release: the label of the image the port served last ("" before the first), and
    // the recorded attempts by outcome and image label ("" for a box that got none).
    std::string lastImage;
    std::map<std::pair<std::string, std::string>, uint64_t> attemptsByImage;
};

struct EventView {
    std::string time; // ISO 8601, UTC
    std::string port; // "" for the station
    std::string text;
};

// The web server's own state.
struct WebView {
    uint64_t connections = 0;    // open now
    uint64_t refused = 0;        // closed unread to stay within the budget, since the start
    uint64_t acceptFailures = 0; // failed accepts (no descriptors, no memory), since the start
    bool accepting = true;       // false from a failed accept to the next connection taken
};

// The delivery of the record to the factory's system (station --forward).
struct ForwardView {
    std::string name;     // "MES"
    std::string text;     // "MES: 12 lines behind, last error 503 at 10:42"
    uint64_t pending = 0; // record lines not yet acknowledged
    uint64_t delivered = 0;
    uint64_t refused = 0; // set aside in the dead-letter file
    std::string lastError;
    std::string lastErrorTime;              // ISO 8601, UTC; "" before the first
    std::map<std::string, uint64_t> errors; // by kind
};

struct StationView {
    std::string version;
    std::string image;
    uint64_t imageSize = 0;
    std::string imageSha256;
    // The release served from (none: `image` alone), and its images' labels in entry order.
    bool hasRelease = false;
    std::string releaseName;
    std::string releaseSha256;
    std::string releaseKeyId; // "" when unsigned
    std::vector<std::string> imageLabels;
    std::string startTime; // ISO 8601, UTC
    double startUnixSeconds = 0;
    std::string now;
    double uptimeSeconds = 0;
    std::vector<PortView> ports;
    // Who and where (station --station, --lot, --operator, --work-order); "" for none.
    std::string stationName;
    std::string lot;
    std::string operatorName;
    std::string workOrder;
    bool forwarding = false;
    ForwardView forward;
    bool lineWorsened = false;     // most ports' links worsened at once
    std::vector<EventView> events; // oldest first
    WebView web;
    // The shift's failures by likely cause, as the report groups them.
    std::vector<report::CauseGroup> causes;
};

// The JSON of /api/station; `withClock` false leaves out "now" and "uptimeSeconds", so that two
// states can be compared for a change.
std::string stationJson(const StationView& view, bool withClock = true);

// The text of /metrics (Prometheus text format 0.0.4).
std::string metricsText(const StationView& view);

// The bucket of the histogram a duration falls in (DURATION_BUCKETS.size() for +Inf).
size_t durationBucket(double seconds);

} // namespace kestrune::web
