// What /metrics and /api/station say of a station, from fake stations: every family with its
// HELP and TYPE, counters and histograms as Prometheus reads them, label values escaped.

#include "web/station_view.h"

#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

namespace kestrune::web {
namespace {

using nlohmann::json;

// "name{labels}" -> value, and the families whose HELP and TYPE came before their samples.
struct Parsed {
    std::map<std::string, std::string> samples;
    std::map<std::string, std::string> types;
    std::vector<std::string> errors;
};

Parsed parse(const std::string& text) {
    Parsed out;
    std::istringstream in(text);
    std::string line;
    std::string helped;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            helped = line.substr(7, line.find(' ', 7) - 7);
        } else if (line.rfind("# TYPE ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            if (name != helped) {
                out.errors.push_back("TYPE without HELP: " + name);
            }
            out.types[name] = line.substr(line.rfind(' ') + 1);
        } else {
            const size_t space = line.rfind(' ');
            const std::string key = line.substr(0, space);
            const std::string name = key.substr(0, key.find('{'));
            bool typed = false;
            for (const auto& [family, type] : out.types) {
                typed = typed || name == family || name == family + "_bucket" ||
                        name == family + "_sum" || name == family + "_count";
            }
            if (!typed) {
                out.errors.push_back("sample before its TYPE: " + line);
            }
            out.samples[key] = line.substr(space + 1);
        }
    }
    return out;
}

PortView port(const std::string& name, const std::string& state) {
    PortView p;
    p.port = name;
    p.state = state;
    return p;
}

StationView twoPorts() {
    StationView v;
    v.version = "1.2.0";
    v.image = "image.dl";
    v.startUnixSeconds = 1796000000.5;
    v.uptimeSeconds = 1800;
    PortView a = port("/dev/ttyUSB0", "downloading");
    a.acknowledgedBytes = 500;
    a.totalBytes = 2000;
    a.downloadSeconds = 2;
    a.done = 3;
    a.failed = 1;
    a.attempts = {{"complete", 3}, {"download error", 2}};
    a.retries = 1;
    a.deliveredBytes = 123456;
    a.framesResent = 7;
    a.healthKnown = true;
    a.linkQuality = 0.125;
    a.degrading = true;
    a.durationBuckets[durationBucket(0.5)] += 1; // le 1
    a.durationBuckets[durationBucket(7)] += 3;   // le 10
    a.durationCount = 5;                         // one beyond 600 s
    a.durationSum = 0.5 + 21 + 900;
    PortView b = port("\\\\.\\COM\"3\"", "port failure");
    b.suspect = true;
    b.failuresInRow = 4;
    b.portFailures = 4;
    b.attempts = {{"port failure", 4}};
    v.ports = {a, b};
    return v;
}

TEST(Metrics, EveryFamilyIsTypedAndEverySampleReads) {
    const Parsed m = parse(metricsText(twoPorts()));
    EXPECT_TRUE(m.errors.empty()) << m.errors.front();
    const std::map<std::string, std::string> types = {
        {"kestrune_boxes_total", "counter"},
        {"kestrune_port_state", "gauge"},
        {"kestrune_port_suspect", "gauge"},
        {"kestrune_port_failures_in_row", "gauge"},
        {"kestrune_port_degrading", "gauge"},
        {"kestrune_port_link_quality", "gauge"},
        {"kestrune_line_worsened", "gauge"},
        {"kestrune_retries_total", "counter"},
        {"kestrune_module_bytes_delivered_total", "counter"},
        {"kestrune_frames_resent_total", "counter"},
        {"kestrune_download_duration_seconds", "histogram"},
        {"kestrune_start_time_seconds", "gauge"},
        {"kestrune_web_connections", "gauge"},
        {"kestrune_web_refused_total", "counter"},
        {"kestrune_web_accept_failures_total", "counter"},
        {"kestrune_web_accepting", "gauge"},
        {"kestrune_build_info", "gauge"}};
    EXPECT_EQ(m.types, types);
}

TEST(Metrics, SamplesOfTwoPorts) {
    const Parsed m = parse(metricsText(twoPorts()));
    const std::string usb = "port=\"/dev/ttyUSB0\"";
    const std::string com = "port=\"\\\\\\\\.\\\\COM\\\"3\\\"\""; // \\.\COM"3", escaped
    const std::map<std::string, std::string> expected = {
        {"kestrune_boxes_total{" + usb + ",outcome=\"complete\"}", "3"},
        {"kestrune_boxes_total{" + usb + ",outcome=\"download error\"}", "2"},
        {"kestrune_boxes_total{" + usb + ",outcome=\"wrong box\"}", "0"},
        {"kestrune_boxes_total{" + com + ",outcome=\"port failure\"}", "4"},
        {"kestrune_port_state{" + usb + ",state=\"downloading\"}", "1"},
        {"kestrune_port_state{" + usb + ",state=\"waiting\"}", "0"},
        {"kestrune_port_state{" + com + ",state=\"port failure\"}", "1"},
        {"kestrune_port_suspect{" + com + "}", "1"},
        {"kestrune_port_failures_in_row{" + com + "}", "4"},
        {"kestrune_port_degrading{" + usb + "}", "1"},
        {"kestrune_port_degrading{" + com + "}", "0"},
        {"kestrune_port_link_quality{" + usb + "}", "0.125"},
        {"kestrune_line_worsened", "0"},
        {"kestrune_retries_total{" + usb + "}", "1"},
        {"kestrune_module_bytes_delivered_total{" + usb + "}", "123456"},
        {"kestrune_frames_resent_total{" + usb + "}", "7"},
        // Cumulative buckets; the one beyond the last bound only in +Inf and the count.
        {"kestrune_download_duration_seconds_bucket{" + usb + ",le=\"1\"}", "1"},
        {"kestrune_download_duration_seconds_bucket{" + usb + ",le=\"5\"}", "1"},
        {"kestrune_download_duration_seconds_bucket{" + usb + ",le=\"10\"}", "4"},
        {"kestrune_download_duration_seconds_bucket{" + usb + ",le=\"600\"}", "4"},
        {"kestrune_download_duration_seconds_bucket{" + usb + ",le=\"+Inf\"}", "5"},
        {"kestrune_download_duration_seconds_count{" + usb + "}", "5"},
        {"kestrune_download_duration_seconds_sum{" + usb + "}", "921.5"},
        {"kestrune_start_time_seconds", "1796000000.5"},
        {"kestrune_build_info{version=\"1.2.0\"}", "1"}};
    for (const auto& [key, value] : expected) {
        const auto at = m.samples.find(key);
        ASSERT_NE(at, m.samples.end()) << key;
        EXPECT_EQ(at->second, value) << key;
    }
    // No figure before a port's first box: no sample, rather than a 0 that reads as perfect.
    EXPECT_EQ(m.samples.count("kestrune_port_link_quality{" + com + "}"), 0u);
}

TEST(Metrics, DurationBuckets) {
    const struct {
        double seconds;
        size_t bucket;
    } cases[] = {{0, 0}, {1, 0}, {1.001, 1}, {600, 9}, {600.5, 10}};
    for (const auto& c : cases) {
        EXPECT_EQ(durationBucket(c.seconds), c.bucket) << c.seconds;
    }
}

TEST(StationJson, TotalsProgressAndLastAttempt) {
    StationView v = twoPorts();
    v.ports[1].hasLast = true;
    v.ports[1].last = {"port failure", "/dev/x went away", "2026-12-07T20:24:35.341Z", 0, 0, 1, ""};
    const json s = json::parse(stationJson(v));
    EXPECT_EQ(s["totals"]["boxes"], 4);
    EXPECT_DOUBLE_EQ(s["totals"]["yieldPercent"].get<double>(), 75.0);
    EXPECT_DOUBLE_EQ(s["totals"]["boxesPerHour"].get<double>(), 6.0);
    EXPECT_EQ(s["totals"]["states"], json({{"downloading", 1}, {"port failure", 1}}));
    // The port failures were events of the port; one with a box on it, and two wrong boxes, are
    // boxes of the yield, as the report counts them.
    v.ports[1].portFailureBoxes = 1;
    v.ports[1].wrongBoxes = 2;
    const json t = json::parse(stationJson(v));
    EXPECT_EQ(t["totals"]["boxes"], 7);
    EXPECT_NEAR(t["totals"]["yieldPercent"].get<double>(), 300.0 / 7, 1e-9);
    const json& usb = s["ports"][0];
    EXPECT_DOUBLE_EQ(usb["progress"]["percent"].get<double>(), 25.0);
    EXPECT_DOUBLE_EQ(usb["progress"]["bytesPerSecond"].get<double>(), 250.0);
    EXPECT_TRUE(usb["last"].is_null());
    const json& com = s["ports"][1];
    EXPECT_TRUE(com["progress"].is_null()); // not downloading
    EXPECT_EQ(com["suspect"], true);
    EXPECT_TRUE(com["linkQuality"].is_null());
    EXPECT_EQ(usb["degrading"], true);
    EXPECT_DOUBLE_EQ(usb["linkQuality"].get<double>(), 0.125);
    EXPECT_EQ(com["last"]["outcome"], "port failure");
    EXPECT_EQ(com["last"]["reason"], "/dev/x went away");
    EXPECT_TRUE(com["last"]["box"].is_null());
}

TEST(StationJson, WithoutClockTwoMomentsOfOneStateCompareEqual) {
    StationView a = twoPorts();
    StationView b = a;
    b.now = "later";
    b.uptimeSeconds += 10;
    EXPECT_EQ(stationJson(a, false), stationJson(b, false));
    b.ports[0].acknowledgedBytes += 1;
    EXPECT_NE(stationJson(a, false), stationJson(b, false));
}

TEST(StationJson, NoBoxesYetHasNoYieldAndBytesThatAreNotUtf8AreReplaced) {
    StationView v;
    v.ports = {port("/dev/caf\xE9", "waiting")};
    const json s = json::parse(stationJson(v));
    EXPECT_TRUE(s["totals"]["yieldPercent"].is_null());
    EXPECT_EQ(s["ports"][0]["port"], "/dev/caf\xEF\xBF\xBD");
}

TEST(StationJson, WhoAndWhereAndTheForwardersBacklog) {
    StationView v = twoPorts();
    v.stationName = "line-7";
    v.lot = "L-42";
    const nlohmann::json none = nlohmann::json::parse(stationJson(v));
    EXPECT_EQ(none["station"], "line-7");
    EXPECT_EQ(none["lot"], "L-42");
    EXPECT_EQ(none["operator"], nullptr);
    EXPECT_EQ(none["forward"], nullptr);
    EXPECT_EQ(parse(metricsText(v)).samples.count("kestrune_forward_pending_lines"), 0u);

    v.forwarding = true;
    v.forward.name = "MES";
    v.forward.text = "MES: 12 lines behind, last error 503 at 10:42";
    v.forward.pending = 12;
    v.forward.lastError = "503";
    v.forward.errors = {{"status", 3}, {"connect", 1}};
    const nlohmann::json j = nlohmann::json::parse(stationJson(v));
    EXPECT_EQ(j["forward"]["pendingLines"], 12);
    EXPECT_EQ(j["forward"]["text"], v.forward.text);
    EXPECT_EQ(j["forward"]["errors"]["status"], 3);
    const Parsed m = parse(metricsText(v));
    EXPECT_TRUE(m.errors.empty()) << m.errors.front();
    EXPECT_EQ(m.types.at("kestrune_forward_errors_total"), "counter");
    EXPECT_EQ(m.samples.at("kestrune_forward_pending_lines"), "12");
    EXPECT_EQ(m.samples.at("kestrune_forward_errors_total{kind=\"status\"}"), "3");
    EXPECT_EQ(m.samples.at("kestrune_forward_errors_total{kind=\"timeout\"}"), "0");
}

} // namespace
} // namespace kestrune::web

namespace kestrune::web {
namespace {

// Under a release the boxes are counted by image label too, "" for those that got none; the
// JSON names the release and each port's last image.
TEST(Metrics, UnderAReleaseBoxesAreCountedByImage) {
    StationView v = twoPorts();
    v.hasRelease = true;
    v.releaseName = "lot 4711";
    v.releaseKeyId = "BA230982A59993CB";
    v.imageLabels = {"4.7.11-a", "4.7.11-b"};
    v.ports[0].attemptsByImage = {
        {{"complete", "4.7.11-a"}, 2}, {{"complete", "4.7.11-b"}, 1}, {{"wrong box", ""}, 1}};
    v.ports[0].lastImage = "4.7.11-b";
    const Parsed m = parse(metricsText(v));
    EXPECT_TRUE(m.errors.empty()) << m.errors.front();
    const std::string usb = "kestrune_boxes_total{port=\"/dev/ttyUSB0\",outcome=";
    EXPECT_EQ(m.samples.at(usb + "\"complete\",image=\"4.7.11-a\"}"), "2");
    EXPECT_EQ(m.samples.at(usb + "\"complete\",image=\"4.7.11-b\"}"), "1");
    EXPECT_EQ(m.samples.at(usb + "\"wrong box\",image=\"\"}"), "1");
    EXPECT_EQ(m.samples.at(usb + "\"aborted\",image=\"4.7.11-a\"}"), "0");
    EXPECT_EQ(m.samples.count(usb + "\"complete\"}"), 0u);
    const nlohmann::json j = nlohmann::json::parse(stationJson(v));
    EXPECT_EQ(j["release"]["name"], "lot 4711");
    EXPECT_EQ(j["release"]["keyId"], "BA230982A59993CB");
    EXPECT_EQ(j["release"]["images"], nlohmann::json::array({"4.7.11-a", "4.7.11-b"}));
    EXPECT_EQ(j["ports"][0]["image"], "4.7.11-b");
    EXPECT_EQ(j["ports"][1]["image"], nullptr);
    EXPECT_EQ(nlohmann::json::parse(stationJson(twoPorts()))["release"], nullptr);
}

} // namespace
} // namespace kestrune::web
