// kestrune-cli station: flashes boxes on many ports at once, unattended, with a record of every
// box. The ports' loops are the station layer's; this file parses the arguments, checks that
// everything can start, draws the table and sets the exit status.

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/station_display.h"
#include "common/sha256.h"
#include "common/system_error.h"
#include "link/adapter_latency.h"
#include "link/port_identity.h"
#include "station/attempt_runner.h"
#include "station/record.h"
#include "station/station_loop.h"
#include "web/web_server.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kestrune::cli {

using namespace kestrune::station;

namespace {

constexpr char PROGRAM[] = "kestrune-cli station";
constexpr size_t MAX_PORTS = 256;

// Signals: the first stops every waiting port, the second aborts the downloads in progress.
// The handler only counts; the ports' loops act on it.
StopSignal g_stop;

extern "C" void onStationSignal(int signal) {
    // The Microsoft C runtime puts SIG_DFL back before it calls a handler: without this the
    // second Ctrl-C would end the process instead of aborting the downloads. (signal() may be
    // called from a handler.)
    std::signal(signal, onStationSignal);
    g_stop.request();
}

} // namespace

void declareStation(CLI::App& app, StationOptions& o) {
    app.description("Serves IMAGE (.dl) to set top boxes on every --port at once, box after box, "
                    "until stopped. Connect a box to a port that shows \"waiting\" and power it "
                    "up.");
    app.add_option("--port", o.ports, "a serial port to serve; repeat for every port")
        ->type_name("DEVICE");
    app.add_option("--record", o.record,
                   "append one JSON line per download attempt to FILE, flushed to disk before the "
                   "port takes its next box")
        ->type_name("FILE");
    app.add_option("--log-dir", o.logDir, "write each download's Test Log to its own file in DIR")
        ->type_name("DIR");
    app.add_option("--pcap-dir", o.pcapDir,
                   "capture each download's DSM-CC messages in its own pcap file in DIR")
        ->type_name("DIR");
    app.add_option("--settle", o.settle,
                   "after a download, the line must be silent this long before the port takes "
                   "the next box (default 3)")
        ->type_name("SECONDS")
        ->transform(args::Decimal(0.2, 3600));
    app.add_option("--retries", o.retries,
                   "serve a box again, up to N times, when its download failed and it wakes up "
                   "again within the settle time (default 0)")
        ->type_name("N")
        ->transform(args::Number(0, 100));
    app.add_option("--suspect-after", o.suspectAfter,
                   "mark a port as suspect after K failures in a row (default 3)")
        ->type_name("K")
        ->transform(args::Number(1, 1000));
    declareHardwareGuard(app, o.expectHardware, o.expectOui);
    app.add_option("--http", o.http,
                   "serve the station's page, its JSON and its metrics on PORT of 127.0.0.1 (or "
                   "of ADDRESS), read only")
        ->type_name("[ADDRESS:]PORT");
    app.add_flag("--force", o.force, "serve an image that has no modules");
    app.add_flag("--trace", o.trace, "every transfer on every port, with timestamps, on stderr");
    app.add_option("IMAGE", o.image, "the download image (.dl)")->required();
    app.footer("The first Ctrl-C (or SIGTERM) stops the waiting ports and lets downloads in\n"
               "progress finish; a second one aborts them.\n"
               "\n"
               "Exit status: 0 every recorded download completed, 1 a download failed (or a\n"
               "port failed during the run), 3 a port failed at the start, 4 downloads were\n"
               "aborted, 5 image not loadable, 64 wrong usage, 69 the --http address cannot be\n"
               "listened on, 73 the record, a Test Log or a capture could not be written (at\n"
               "the start, or during the run).");
}

int runStation(const CLI::App& cmd, const StationOptions& o) {
    const std::vector<std::string>& ports = o.ports;
    const std::string& recordPath = o.record;
    const std::string& logDir = o.logDir;
    const std::string& pcapDir = o.pcapDir;
    const std::string& imagePath = o.image;
    const double settle = o.settle;
    const bool trace = o.trace;
    const bool force = o.force;
    const unsigned retries = o.retries;
    const unsigned suspectAfter = o.suspectAfter;
    const std::string& expectHardware = o.expectHardware;
    const std::string& expectOui = o.expectOui;
    const std::string& http = o.http;
    HardwareGuard guard;
    if (const std::string wrong = parseHardwareGuard(expectHardware, expectOui, guard);
        !wrong.empty()) {
        return args::fail(cmd, wrong);
    }
    if (ports.empty()) {
        return args::fail(cmd, "give at least one --port");
    }
    std::string httpAddress;
    int httpPort = 0;
    if (!http.empty()) {
        if (const std::string wrong = web::parseHttpAddress(http, httpAddress, httpPort);
            !wrong.empty()) {
            return args::fail(cmd, wrong);
        }
    }
    if (ports.size() > MAX_PORTS) {
        return args::fail(cmd, "at most " + std::to_string(MAX_PORTS) + " ports");
    }
    // One device, one runner: two names of the same device (a link, a by-id name) would fight
    // over it.
    std::map<std::string, std::string> devices;
    for (const std::string& port : ports) {
        if (port.empty()) {
            return args::fail(cmd, "--port needs a device name");
        }
        const auto [at, added] = devices.emplace(portIdentity(port), port);
        if (!added) {
            return args::fail(cmd, at->second == port ? "--port " + port + " is given twice"
                                                      : "--port " + at->second + " and --port " +
                                                            port + " are the same device");
        }
    }

    // The image is loaded once and shared by every port: the rows point into it.
    static DownloadInfoResponse* response = new DownloadInfoResponse{};
    static DownloadImage* image = new DownloadImage;
    LoadStatus loadStatus;
    if (!loadImage(*response, imagePath.c_str(), *image, &loadStatus)) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM,
                     describeLoadFailure(imagePath.c_str(), loadStatus).c_str());
        return EXIT_IMAGE_NOT_LOADABLE;
    }
    if (const int refused = checkImageToServe(PROGRAM, imagePath.c_str(), *image, *response, force);
        refused != 0) {
        return refused;
    }
    static StationConfig* config = new StationConfig;
    config->image.path = imagePath;
    config->image.size = image->size();
    Sha256 hash;
    hash.update(image->data(), image->size());
    config->image.sha256 = hash.hex();
    config->settleSeconds = settle;
    config->retries = retries;
    config->suspectAfter = suspectAfter;

    std::error_code ignored;
    for (const std::string* path : {&recordPath, &logDir, &pcapDir}) {
        if (!path->empty() && std::filesystem::equivalent(*path, imagePath, ignored)) {
            return args::fail(cmd, *path + " is the image itself");
        }
    }
    static RecordFile* record = new RecordFile;
    if (!recordPath.empty()) {
        if (const int error = record->open(recordPath); error != 0) {
            std::fprintf(stderr, "%s: cannot open the record %s: %s\n", PROGRAM, recordPath.c_str(),
                         systemErrorText(error).c_str());
            return EXIT_CANNOT_WRITE;
        }
        config->record = record;
    }
    for (const auto& [dir, target] :
         {std::pair{&logDir, &config->logDir}, std::pair{&pcapDir, &config->pcapDir}}) {
        if (dir->empty()) {
            continue;
        }
        std::error_code error;
        std::filesystem::create_directories(*dir, error);
        if (!std::filesystem::is_directory(*dir, ignored)) {
            std::fprintf(stderr, "%s: cannot make the folder %s: %s\n", PROGRAM, dir->c_str(),
                         error ? error.message().c_str() : "not a folder");
            return EXIT_CANNOT_WRITE;
        }
        *target = *dir;
    }

    // Every port must open before any box is served.
    std::vector<std::unique_ptr<PortRunner>> runners;
    std::vector<std::unique_ptr<PortStatus>> statuses;
    bool portsOk = true;
    for (const std::string& port : ports) {
        RunnerOptions options;
        options.port = port;
        options.trace = trace;
        options.waitIndefinitely = true;
        options.stop = &g_stop;
        options.guard = guard;
        runners.push_back(std::make_unique<PortRunner>(options, *response, image->size()));
        statuses.push_back(std::make_unique<PortStatus>(port));
        PortOpenError failure = PortOpenError::None;
        if (!runners.back()->portOpens(failure)) {
            std::fprintf(stderr, "%s: Failed to open communication resource: %s.\n", port.c_str(),
                         describePortProblem(failure, port).c_str());
            portsOk = false;
        }
    }
    if (!portsOk) {
        return EXIT_PORT_FAILURE;
    }

    std::vector<PortStatus*> shown;
    for (auto& status : statuses) {
        shown.push_back(status.get());
    }
    const bool terminal = stderrIsTerminal();
    StationDisplay display(shown, terminal);
    // The page and the metrics see the events the table sees; the table sees them first.
    web::Dashboard dashboard({shown.begin(), shown.end()}, config->image, display);
    web::WebServer server(dashboard);
    if (!http.empty()) {
        if (const std::string failed = server.listen(httpAddress, httpPort); !failed.empty()) {
            std::fprintf(stderr, "%s: %s\n", PROGRAM, failed.c_str());
            return EXIT_HTTP_UNAVAILABLE;
        }
    }
    StationShared shared{*config, dashboard, g_stop};

    std::signal(SIGINT, onStationSignal);
    std::signal(SIGTERM, onStationSignal);

    if (!http.empty()) {
        dashboard.event("", "dashboard: " + server.url());
        server.start();
    }
    dashboard.event("", "serving " + imagePath + " (" + groupDigits(image->size()) +
                            " bytes, SHA-256 " + config->image.sha256.substr(0, 16) + "...) on " +
                            std::to_string(ports.size()) + " port" +
                            (ports.size() == 1 ? "" : "s") + "; Ctrl-C stops");
    for (const std::string& port : ports) {
        if (const std::string latency = latencyLine(readLatencyFacts(port)); !latency.empty()) {
            dashboard.event(port, latency);
        }
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runners.size(); ++i) {
        threads.emplace_back(servePort, std::ref(shared), std::ref(*runners[i]),
                             std::ref(*statuses[i]));
    }

    int announced = 0;
    for (;;) {
        const int signals = g_stop.level();
        if (signals >= 1 && announced < 1) {
            dashboard.event("", "stopping: no new boxes; downloads in progress finish (Ctrl-C "
                                "again aborts them)");
            announced = 1;
        }
        if (signals >= 2 && announced < 2) {
            dashboard.event("", "aborting the downloads in progress");
            announced = 2;
        }
        bool allStopped = true;
        for (auto& status : statuses) {
            allStopped = allStopped && status->state.load() == PortState::Stopped;
        }
        if (allStopped) {
            break;
        }
        display.redraw();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (std::thread& t : threads) {
        t.join();
    }
    server.stop();
    display.finish();

    // The same counts as the table's, in the same words.
    uint32_t done = 0, failed = 0, aborted = 0, portFailures = 0, wrongBoxes = 0;
    for (const auto& status : statuses) {
        done += status->done;
        failed += status->failed;
        aborted += status->aborted;
        portFailures += status->portFailures;
        wrongBoxes += status->wrongBoxes;
    }
    std::string summary = std::to_string(done) + " complete, " + std::to_string(failed) +
                          " failed, " + std::to_string(aborted) + " aborted";
    if (portFailures != 0) {
        summary +=
            ", " + std::to_string(portFailures) + " port failure" + (portFailures == 1 ? "" : "s");
    }
    if (wrongBoxes != 0) {
        summary += ", " + std::to_string(wrongBoxes) + " wrong box" + (wrongBoxes == 1 ? "" : "es");
    }
    display.event("", summary);
    std::string suspects;
    for (const auto& status : statuses) {
        if (status->suspect) {
            suspects += (suspects.empty() ? "" : ", ") + status->port + " (" +
                        std::to_string(status->failuresInRow.load()) + " failures in a row)";
        }
    }
    if (!suspects.empty()) {
        display.event("", "suspect ports: " + suspects + "; check their cables and adapters");
    }
    if (shared.outputFailed) {
        display.event("", "some of the record, Test Logs or captures could not be written "
                          "(see above)");
        return EXIT_CANNOT_WRITE;
    }
    if (aborted != 0) {
        return EXIT_ABORTED;
    }
    return failed != 0 || portFailures != 0 || wrongBoxes != 0 ? EXIT_DOWNLOAD_ERROR : 0;
}

} // namespace kestrune::cli
