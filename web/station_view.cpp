#include "web/station_view.h"

#include "station/record_schema.h"
#include "station/yield.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace kestrune::web {
namespace {

using nlohmann::json;
using station::fieldName;
using station::RecordField;

const char* const STATES[] = {"waiting", "downloading", "settling", "port failure", "stopped"};
const char* const OUTCOMES[] = {"complete",     "download error", "not responding",
                                "port failure", "wrong box",      "aborted"};

const char* const FORWARD_ERRORS[] = {"connect", "timeout", "closed",    "status",
                                      "refused", "cursor",  "deadLetter"};

json text(const std::string& value) {
    return value.empty() ? json(nullptr) : json(value);
}

json forward(const StationView& view) {
    if (!view.forwarding) {
        return nullptr;
    }
    const ForwardView& f = view.forward;
    return {{"name", f.name},
            {"text", f.text},
            {"pendingLines", f.pending},
            {"deliveredLines", f.delivered},
            {"refusedLines", f.refused},
            {"lastError", text(f.lastError)},
            {"lastErrorTime", text(f.lastErrorTime)},
            {"errors", f.errors}};
}

// Invalid UTF-8 in a port name becomes U+FFFD rather than an exception.
std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// In the report's JSON form.
json causesJson(const std::vector<report::CauseGroup>& causes) {
    json out = json::array();
    for (const report::CauseGroup& g : causes) {
        out.push_back({{"cause", report::causeName(g.cause)},
                       {"ports", g.ports},
                       {"failed", g.failed},
                       {"evidence", g.evidence}});
    }
    return out;
}

json portJson(const PortView& p) {
    json progress = nullptr;
    if (p.state == "downloading" && p.totalBytes != 0) {
        const uint64_t sent =
            p.acknowledgedBytes < p.totalBytes ? p.acknowledgedBytes : p.totalBytes;
        progress = {
            {"acknowledgedBytes", sent},
            {"totalBytes", p.totalBytes},
            {"percent", 100.0 * static_cast<double>(sent) / static_cast<double>(p.totalBytes)},
            {"bytesPerSecond",
             p.downloadSeconds > 0.05 ? static_cast<double>(sent) / p.downloadSeconds : 0.0},
            {"seconds", p.downloadSeconds}};
    }
    json last = nullptr;
    if (p.hasLast) {
        // The last box in the record's own words.
        last = {{fieldName(RecordField::Outcome), p.last.outcome},
                {fieldName(RecordField::Reason),
                 p.last.reason.empty() ? json(nullptr) : json(p.last.reason)},
                {fieldName(RecordField::End), p.last.end},
                {fieldName(RecordField::DurationSeconds), p.last.durationSeconds},
                {fieldName(RecordField::ModuleBytesDelivered), p.last.deliveredBytes},
                {fieldName(RecordField::Attempt), p.last.attempt},
                // (the box described in words, not the record's descriptors)
                {"box", p.last.box.empty() ? json(nullptr) : json(p.last.box)}};
    }
    return {{"port", p.port},
            {"image", p.lastImage.empty() ? json(nullptr) : json(p.lastImage)},
            {"state", p.state},
            {"suspect", p.suspect},
            {"failuresInRow", p.failuresInRow},
            {"linkQuality", p.healthKnown ? json(p.linkQuality) : json(nullptr)},
            {"degrading", p.degrading},
            {"progress", progress},
            {"done", p.done},
            {"failed", p.failed},
            {"aborted", p.aborted},
            {"portFailures", p.portFailures},
            {"wrongBoxes", p.wrongBoxes},
            {"retries", p.retries},
            {"last", last}};
}

// The length of the valid UTF-8 sequence at `at` (no overlong forms, no surrogates, nothing
// above U+10FFFF), 0 when it is not one.
size_t utf8Length(const std::string& s, size_t at) {
    const auto byte = [&s](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b = byte(at);
    if (b < 0x80) {
        return 1;
    }
    size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        low = b == 0xE0 ? 0xA0 : 0x80;
        high = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (at + n > s.size() || byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (size_t i = 2; i < n; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) {
            return 0;
        }
    }
    return n;
}

// A label value: backslash, double quote and line feed escaped, and bytes that are not UTF-8
// replaced by U+FFFD (as the JSON does): Prometheus refuses the whole text otherwise.
std::string label(const std::string& value) {
    std::string out;
    for (size_t i = 0; i < value.size();) {
        const char c = value[i];
        const size_t n = utf8Length(value, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += 1;
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
            i += 1;
        } else if (c == '\n') {
            out += "\\n";
            i += 1;
        } else {
            out.append(value, i, n);
            i += n;
        }
    }
    return out;
}

std::string number(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

} // namespace

size_t durationBucket(double seconds) {
    size_t i = 0;
    while (i < DURATION_BUCKETS.size() && seconds > DURATION_BUCKETS[i]) {
        ++i;
    }
    return i;
}

std::string stationJson(const StationView& view, bool withClock) {
    uint32_t done = 0, failed = 0, aborted = 0, portFailures = 0, wrongBoxes = 0;
    station::BoxCounts counted;
    json states = json::object();
    json ports = json::array();
    for (const PortView& p : view.ports) {
        done += p.done;
        failed += p.failed;
        aborted += p.aborted;
        portFailures += p.portFailures;
        wrongBoxes += p.wrongBoxes;
        counted.portFailures += p.portFailureBoxes;
        states[p.state] = states.value(p.state, 0) + 1;
        ports.push_back(portJson(p));
    }
    counted.complete = done;
    counted.failed = failed;
    counted.aborted = aborted;
    counted.wrongBoxes = wrongBoxes;
    double yield = 0;
    const bool anyBox = station::yieldOf(counted, yield);
    json totals = {{"boxes", counted.boxes()},
                   {"done", done},
                   {"failed", failed},
                   {"aborted", aborted},
                   {"portFailures", portFailures},
                   {"wrongBoxes", wrongBoxes},
                   {"yieldPercent", anyBox ? json(100.0 * yield) : json(nullptr)},
                   {"states", states}};
    json events = json::array();
    for (const EventView& e : view.events) {
        events.push_back({{"time", e.time}, {"port", e.port}, {"text", e.text}});
    }
    json out = {
        {"version", view.version},
        {"image", {{"path", view.image}, {"size", view.imageSize}, {"sha256", view.imageSha256}}},
        {"release",
         view.hasRelease
             ? json{{"name", view.releaseName},
                    {"sha256", view.releaseSha256},
                    {"keyId", view.releaseKeyId.empty() ? json(nullptr) : json(view.releaseKeyId)},
                    {"images", view.imageLabels}}
             : json(nullptr)},
        {"startTime", view.startTime},
        {"station", view.stationName},
        {"lot", text(view.lot)},
        {"operator", text(view.operatorName)},
        {"workOrder", text(view.workOrder)},
        {"forward", forward(view)},
        {"totals", totals},
        {"lineWorsened", view.lineWorsened},
        {"causes", causesJson(view.causes)},
        {"ports", ports},
        {"events", events}};
    if (withClock) {
        out["now"] = view.now;
        out["uptimeSeconds"] = view.uptimeSeconds;
        out["totals"]["boxesPerHour"] =
            view.uptimeSeconds > 0 ? done * 3600.0 / view.uptimeSeconds : 0.0;
    }
    return dump(out);
}

std::string metricsText(const StationView& view) {
    std::string out;
    if (view.forwarding) {
        family(out, "kestrune_forward_pending_lines", "gauge",
               "Record lines not yet acknowledged by the --forward receiver.");
        out += "kestrune_forward_pending_lines " + std::to_string(view.forward.pending) + "\n";
        family(out, "kestrune_forward_errors_total", "counter",
               "Failed deliveries to the --forward receiver, by kind, since the start.");
        for (const char* kind : FORWARD_ERRORS) {
            const auto at = view.forward.errors.find(kind);
            out += std::string("kestrune_forward_errors_total{kind=\"") + kind + "\"} " +
                   std::to_string(at == view.forward.errors.end() ? 0 : at->second) + "\n";
        }
    }
    family(out, "kestrune_boxes_total", "counter",
           "Download attempts recorded, by port and outcome (one per record line).");
    // Under a release, by the image's label too ("" for the boxes that got no image).
    std::vector<std::string> images = view.imageLabels;
    images.emplace_back();
    for (const PortView& p : view.ports) {
        for (const char* outcome : OUTCOMES) {
            const std::string series =
                "kestrune_boxes_total{port=\"" + label(p.port) + "\",outcome=\"" + outcome;
            if (!view.hasRelease) {
                const auto at = p.attempts.find(outcome);
                out += series + "\"} " + std::to_string(at == p.attempts.end() ? 0 : at->second) +
                       "\n";
                continue;
            }
            for (const std::string& image : images) {
                const auto at = p.attemptsByImage.find({outcome, image});
                out += series + "\",image=\"" + label(image) + "\"} " +
                       std::to_string(at == p.attemptsByImage.end() ? 0 : at->second) + "\n";
            }
        }
    }
    family(out, "kestrune_port_state", "gauge",
           "1 for the state each port is in, 0 for the others.");
    for (const PortView& p : view.ports) {
        for (const char* state : STATES) {
            out += "kestrune_port_state{port=\"" + label(p.port) + "\",state=\"" + state + "\"} " +
                   (p.state == state ? "1" : "0") + "\n";
        }
    }
    // The families with one sample per port.
    const auto perPort = [&out, &view](const char* name, const char* type, const char* help,
                                       uint64_t (*value)(const PortView&)) {
        family(out, name, type, help);
        for (const PortView& p : view.ports) {
            out += std::string(name) + "{port=\"" + label(p.port) + "\"} " +
                   std::to_string(value(p)) + "\n";
        }
    };
    perPort("kestrune_port_suspect", "gauge",
            "1 when the port's failures in a row make it a suspect (check its cable and adapter).",
            [](const PortView& p) -> uint64_t { return p.suspect ? 1 : 0; });
    perPort("kestrune_port_degrading", "gauge",
            "1 while the port's link is degrading against the line's other ports (its downloads "
            "still complete; check its cable and adapter).",
            [](const PortView& p) -> uint64_t { return p.degrading ? 1 : 0; });
    family(out, "kestrune_port_link_quality", "gauge",
           "Frames resent and NAKs sent per KiB delivered, over the port's last boxes (lower is "
           "better); absent before the port's first box.");
    for (const PortView& p : view.ports) {
        if (p.healthKnown) {
            out += "kestrune_port_link_quality{port=\"" + label(p.port) + "\"} " +
                   number(p.linkQuality) + "\n";
        }
    }
    family(out, "kestrune_line_worsened", "gauge",
           "1 while most ports' links are worse than their own best at once (the image, the "
           "mains, a hub: not one port).");
    out += std::string("kestrune_line_worsened ") + (view.lineWorsened ? "1" : "0") + "\n";
    perPort("kestrune_port_failures_in_row", "gauge", "The port's failures in a row.",
            [](const PortView& p) -> uint64_t { return p.failuresInRow; });
    perPort("kestrune_retries_total", "counter",
            "Attempts that served a failed box again (--retries).",
            [](const PortView& p) -> uint64_t { return p.retries; });
    perPort("kestrune_module_bytes_delivered_total", "counter",
            "Module bytes the boxes acknowledged, in recorded attempts.",
            [](const PortView& p) -> uint64_t { return p.deliveredBytes; });
    perPort("kestrune_frames_resent_total", "counter",
            "Frame attempts after the first, and NAKs sent, in recorded attempts.",
            [](const PortView& p) -> uint64_t { return p.framesResent; });
    family(out, "kestrune_download_duration_seconds", "histogram",
           "Durations of the recorded attempts in which a box woke up.");
    for (const PortView& p : view.ports) {
        const std::string port = "port=\"" + label(p.port) + "\"";
        uint64_t below = 0;
        for (size_t i = 0; i < DURATION_BUCKETS.size(); ++i) {
            below += p.durationBuckets[i];
            out += "kestrune_download_duration_seconds_bucket{" + port + ",le=\"" +
                   number(DURATION_BUCKETS[i]) + "\"} " + std::to_string(below) + "\n";
        }
        out += "kestrune_download_duration_seconds_bucket{" + port + ",le=\"+Inf\"} " +
               std::to_string(p.durationCount) + "\n";
        out +=
            "kestrune_download_duration_seconds_sum{" + port + "} " + number(p.durationSum) + "\n";
        out += "kestrune_download_duration_seconds_count{" + port + "} " +
               std::to_string(p.durationCount) + "\n";
    }
    family(out, "kestrune_start_time_seconds", "gauge",
           "When the station started, in seconds since the Unix epoch.");
    out += "kestrune_start_time_seconds " + number(view.startUnixSeconds) + "\n";
    family(out, "kestrune_web_connections", "gauge", "Connections to this page open now.");
    out += "kestrune_web_connections " + std::to_string(view.web.connections) + "\n";
    family(out, "kestrune_web_refused_total", "counter",
           "Connections closed unread because the page had no room for them.");
    out += "kestrune_web_refused_total " + std::to_string(view.web.refused) + "\n";
    family(out, "kestrune_web_accept_failures_total", "counter",
           "Times the page could not accept a connection (no descriptors or memory left).");
    out += "kestrune_web_accept_failures_total " + std::to_string(view.web.acceptFailures) + "\n";
    family(out, "kestrune_web_accepting", "gauge",
           "0 from a failed accept until a connection is accepted again, else 1.");
    out += std::string("kestrune_web_accepting ") + (view.web.accepting ? "1" : "0") + "\n";
    family(out, "kestrune_build_info", "gauge", "The program's version; always 1.");
    out += "kestrune_build_info{version=\"" + label(view.version) + "\"} 1\n";
    return out;
}

} // namespace kestrune::web
