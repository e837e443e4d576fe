// kestrune-cli station: flashes boxes on many ports at once, unattended, with a record of every
// box. The station itself (its checks, ports, threads, stop and totals) is the station layer's
// Station; this file declares the options, prints, draws the table and the page, and turns the
// station's result into the exit status.

#include "station/station.h"

#include "cli/cli.h"
#include "cli/console.h"
#include "cli/service_notify.h"
#include "cli/station_display.h"
#include "station/forward.h"
#include "station/scanner_io.h"
#include "web/web_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace kestrune::cli {

using namespace kestrune::station;

namespace {

constexpr char STATION_PROGRAM[] = "kestrune-cli station";

// Signals: the first stops every waiting port, the second aborts the downloads in progress.
// The handler only counts; the ports' loops act on it.
StopSignal g_stationStop;

extern "C" void onStationSignal(int signal) {
    // The Microsoft C runtime puts SIG_DFL back before it calls a handler: without this the
    // second Ctrl-C would end the process instead of aborting the downloads. (signal() may be
    // called from a handler.)
    std::signal(signal, onStationSignal);
    g_stationStop.request();
}

// A service's Stop (1) and Shutdown (2): the first and the second Ctrl-C.
extern "C" void onStopWord(int level) {
    if (level >= 2) {
        g_stationStop.abort();
    } else {
        g_stationStop.stopWaiting();
    }
}

// The keys of a config file that are the command line's alone.
const std::vector<std::string> LINE_ONLY = {"config", "check"};

// --config FILE, read once the command line is parsed: the file's settings go to every option
// the line left unset, each through the option's own checks.
void applyConfigFile(CLI::App& app, StationOptions& o, const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw args::Mistake("cannot read the config " + file + ": " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<args::ConfigEntry> entries;
    if (const std::string wrong = args::readConfig(text.str(), {"port", "slot", "device"}, entries);
        !wrong.empty()) {
        // "line 7: ..." becomes "FILE:7: ...".
        throw args::Mistake(file + ":" + wrong.substr(wrong.rfind("line ", 0) == 0 ? 5 : 0));
    }
    o.sources = args::applyConfig(app, file, entries, LINE_ONLY);
}

} // namespace

void declareStation(CLI::App& app, StationOptions& o) {
    app.description("Serves IMAGE (.dl) to set top boxes on every --port at once, box after box, "
                    "until stopped. Connect a box to a port that shows \"waiting\" and power it "
                    "up.");
    // One device each time: IMAGE is optional (none with --release), and must not be taken
    // for another port.
    app.add_option("--port", o.ports, "a serial port to serve; repeat for every port")
        ->type_name("DEVICE")
        ->allow_extra_args(false);
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
    declareSuspectAfter(app, o.suspectAfter, "mark a port as suspect after K failures in a row");
    app.add_option("--health-window", o.health.window,
                   "a port's link quality is taken over its last N boxes (default " +
                       std::to_string(o.health.window) + ")")
        ->type_name("N")
        ->transform(args::Number(1, 100));
    app.add_option("--degrading-ratio", o.health.ratio,
                   "mark a port as degrading when its resends per KiB are R times the other "
                   "ports' (default 3)")
        ->type_name("R")
        ->transform(args::Decimal(1.1, 1000));
    app.add_option("--degrading-floor", o.health.floor,
                   "never mark a port with fewer resends per KiB than F (default 0.02)")
        ->type_name("F")
        ->transform(args::Decimal(0, 1000));
    declareHardwareGuard(app, o.expectHardware, o.expectOui);
    app.add_option("--http", o.http,
                   "serve the station's page, its JSON and its metrics on PORT of 127.0.0.1 (or "
                   "of ADDRESS), read only")
        ->type_name("[ADDRESS:]PORT");
    app.add_option("--http-host", o.httpHosts,
                   "a name of this machine the page may be asked for (its Host), besides its "
                   "address; repeat for every name")
        ->type_name("NAME");
    app.add_flag("--force", o.force, "serve an image that has no modules");
    app.add_flag("--trace", o.trace, "every transfer on every port, with timestamps, on stderr");
    declareRelease(app, o.release, o.releaseKey);
    app.add_option("--station", o.provenance.station,
                   "this station's name in every record line and on the page (default the host "
                   "name)")
        ->type_name("NAME");
    app.add_option("--lot", o.provenance.lot, "the lot being flashed, in every record line")
        ->type_name("LOT");
    app.add_option("--operator", o.provenance.operatorName,
                   "who runs the station, in every record line")
        ->type_name("NAME");
    app.add_option("--work-order", o.provenance.workOrder,
                   "the work order being flashed, in every record line")
        ->type_name("ID");
    app.add_option("--serial-descriptor", o.serialDescriptor,
                   "read the unit's serial from the box's compatibility descriptor of TYPE "
                   "(0x40-0x7F), as ASCII (the default) or as hex digits")
        ->type_name("TYPE[:ascii|hex]");
    app.add_option("--scanner", o.scanner,
                   "read barcodes from DEVICE, one per line: a slot's label (the port's name as "
                   "given to --port, or its file name) then the unit's serial binds it to the "
                   "next box that wakes on that port; - reads a keyboard-wedge scanner that "
                   "types into the station's terminal")
        ->type_name("DEVICE");
    app.add_option("--scan-timeout", o.scanTimeout,
                   "a scanned serial waits this long for its box, then is dropped (default 120)")
        ->type_name("SECONDS")
        ->transform(args::Decimal(1, 86400));
    app.add_option("--forward", o.forward,
                   "send every record line, in order, to URL (http:// only) as a JSON POST with "
                   "its attemptId as Idempotency-Key; needs --record")
        ->type_name("URL");
    app.add_option("--forward-name", o.forwardName,
                   "the receiver's name on the table and the page (default MES)")
        ->type_name("NAME");
    app.add_option("--forward-timeout", o.forwardTimeout,
                   "give up on one delivery after this long (default 10)")
        ->type_name("SECONDS")
        ->transform(args::Decimal(0.1, 600));
    app.add_option("--forward-drain-seconds", o.forwardDrainSeconds,
                   "at the end, wait this long for the backlog to be delivered (default 30)")
        ->type_name("SECONDS")
        ->transform(args::Decimal(0, 86400));
    app.add_option("--stop-after", o.stopAfter,
                   "stop taking boxes after N complete ones (a lot's quota); downloads in "
                   "progress finish, and the station ends with status 0")
        ->type_name("N")
        ->transform(args::Number(1, 10000000));
    app.add_option("IMAGE", o.image, "the download image (.dl); none with --release");
    // Declared last, so that every option is there to take the file's settings.
    CLI::Option* config = app.add_option("--config", o.config,
                                         "every option (and a [[port]] table per port: slot, "
                                         "device) from the TOML file FILE; the command line wins")
                              ->type_name("FILE");
    // After the whole line is parsed: what it set is what the file cannot change.
    o.readConfig = [&app, &o] {
        if (!o.config.empty()) {
            applyConfigFile(app, o, o.config);
        }
    };
    app.add_flag("--check", o.check,
                 "print the settings the station would run with, each with where it came from, "
                 "open nothing and exit")
        ->needs(config);
    app.footer("Name ports by /dev/serial/by-path (or /dev/serial/by-id) where there are such\n"
               "names: /dev/ttyUSBn can lead to another adapter after a re-plug.\n"
               "--port A1=DEVICE names the port by its slot A1 in the table, the page, the\n"
               "metrics and the record.\n"
               "\n"
               "The first Ctrl-C (or SIGTERM) stops the waiting ports and lets downloads in\n"
               "progress finish; a second one aborts them.\n"
               "\n"
               "Exit status: 0 every recorded download completed, 1 a download failed (or a\n"
               "port failed during the run), 3 a port failed at the start, 4 downloads were\n"
               "aborted, 5 image not loadable, 64 wrong usage, 69 the --http address cannot be\n"
               "listened on, 73 the record, a Test Log or a capture could not be written (at\n"
               "the start, or during the run).");
}

namespace {

// SIGHUP: read the config and the release again. The handler only stores.
std::atomic<bool> g_reload{false};

extern "C" void onReload(int signal) {
    std::signal(signal, onReload);
    g_reload.store(true);
}

// The settings of a command line and its --config, as the start takes them; "" or why not.
std::string settingsOf(const StationOptions& o, StationSettings& settings) {
    settings = o;
    if (std::string wrong = parseHardwareGuard(o.expectHardware, o.expectOui, settings.guard);
        !wrong.empty()) {
        return wrong;
    }
    return checkImageOrRelease(o.image, o.release, o.expectHardware);
}

// The same command line parsed again, its config file read again: the next settings.
std::string reloadedSettings(const std::vector<std::string>& words, StationSettings& next) {
    CLI::App app("", "kestrune-cli");
    CliOptions o;
    if (std::string refused = readStationCommand(words, app, o); !refused.empty()) {
        return refused;
    }
    return settingsOf(o.station, next);
}

// For the tests of a service's watchdog only: with KESTRUNE_TEST_HOLD_PORT=SLOT the thread of
// that port is held when its box wakes, as a port thread that hangs would be, until the stop.
class HeldPort final : public StationEvents {
public:
    explicit HeldPort(StationEvents& next) : next_(next) {
        const char* held = std::getenv("KESTRUNE_TEST_HOLD_PORT");
        held_ = held != nullptr ? held : "";
    }
    void event(const std::string& port, const std::string& text) override {
        next_.event(port, text);
        if (!held_.empty() && port == held_ && text.rfind("a box woke up", 0) == 0) {
            while (!g_stationStop.stopping()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    }
    void attemptEnded(const PortStatus& status, const AttemptReport& report,
                      const AttemptPlace& place) override {
        next_.attemptEnded(status, report, place);
    }

private:
    StationEvents& next_;
    std::string held_;
};

int exitStatus(StationResult result) {
    switch (result) {
    case StationResult::OutputFailed:
        return EXIT_CANNOT_WRITE;
    case StationResult::PortNotStarted:
        return EXIT_PORT_FAILURE;
    case StationResult::Aborted:
        return EXIT_ABORTED;
    case StationResult::Failed:
        return EXIT_DOWNLOAD_ERROR;
    case StationResult::AllComplete:
        break;
    }
    return 0;
}

// The same counts as the table's, in the same words.
std::string summaryLine(const StationTotals& t) {
    std::string summary = std::to_string(t.done) + " complete, " + std::to_string(t.failed) +
                          " failed, " + std::to_string(t.aborted) + " aborted";
    if (t.portFailures != 0) {
        summary += ", " + std::to_string(t.portFailures) + " port failure" +
                   (t.portFailures == 1 ? "" : "s");
    }
    if (t.wrongBoxes != 0) {
        summary +=
            ", " + std::to_string(t.wrongBoxes) + " wrong box" + (t.wrongBoxes == 1 ? "" : "es");
    }
    return summary + "; yield " + yieldText(t.boxes);
}

} // namespace

// "retries = 2  # from line1.toml line 5": what --check prints of one setting.
void printSetting(const args::ConfigSource& s) {
    std::printf("%s = %s  # %s\n", s.key.c_str(), s.value.empty() ? "\"\"" : s.value.c_str(),
                s.source.c_str());
}

int runStation(const CLI::App& cmd, const StationOptions& o) {
    // A service has no console: what the station says at its start goes to its log, timed.
    const std::function<void(const std::string&)> say = [&o](const std::string& line) {
        if (o.log != nullptr) {
            logEvent(o.log, line);
        } else {
            printLine(line);
        }
    };
    const auto refuse = [&](const std::string& text) {
        if (o.log == nullptr) {
            return args::fail(cmd, text);
        }
        say(std::string(STATION_PROGRAM) + ": " + text);
        return EXIT_USAGE;
    };
    try {
        o.readConfig();
    } catch (const args::Mistake& refused) {
        return refuse(refused.what());
    }
    StationSettings settings;
    if (const std::string wrong = settingsOf(o, settings); !wrong.empty()) {
        return refuse(wrong);
    }
    if (SerialSource serial; !o.serialDescriptor.empty()) {
        if (const std::string wrong = parseSerialSource(o.serialDescriptor, serial);
            !wrong.empty()) {
            return refuse(wrong);
        }
    }
    ForwardTarget target;
    if (!o.forward.empty()) {
        if (const std::string wrong = parseForwardUrl(o.forward, target); !wrong.empty()) {
            return refuse(wrong);
        }
        if (o.record.empty()) {
            return refuse("--forward needs --record: the record is what it sends");
        }
    }
    std::unique_ptr<ScannerDevice> scanner;
    if (!o.scanner.empty()) {
        std::string why;
        scanner = openScanner(o.scanner, why);
        if (scanner == nullptr) {
            say(std::string(STATION_PROGRAM) + ": cannot open the scanner " + o.scanner + ": " +
                why);
            return EXIT_PORT_FAILURE;
        }
    }
    // Scans name a port by its slot, the name it goes by.
    std::vector<std::string> slots;
    for (const std::string& given : o.ports) {
        slots.push_back(portSlot(given).name);
    }
    ScanBoard scans(slots, static_cast<int64_t>(o.scanTimeout * 1000));
    Station station(settings, g_stationStop);
    if (scanner != nullptr) {
        station.useScanner(&scans);
    }
    if (const StartProblem problem = station.checkPorts()) {
        return refuse(problem.text);
    }
    std::string httpAddress;
    int httpPort = 0;
    if (!o.http.empty()) {
        if (const std::string wrong = web::parseHttpAddress(o.http, httpAddress, httpPort);
            !wrong.empty()) {
            return refuse(wrong);
        }
    } else if (!o.httpHosts.empty()) {
        return refuse("--http-host needs --http");
    }
    if (o.check) {
        for (const args::ConfigSource& setting : o.sources) {
            printSetting(setting);
        }
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    if (station.hasRelease()) {
        if (const std::string refused = station.loadRelease(); !refused.empty()) {
            say(std::string(STATION_PROGRAM) + ": " + refused);
            return EXIT_IMAGE_NOT_LOADABLE;
        }
    } else {
        LoadStatus loadStatus;
        if (!station.loadImage(loadStatus)) {
            say(std::string(STATION_PROGRAM) + ": " +
                describeLoadFailure(o.image.c_str(), loadStatus));
            return EXIT_IMAGE_NOT_LOADABLE;
        }
        const ServedImage& served = station.image();
        if (const int refused = checkImageToServe(STATION_PROGRAM, o.image.c_str(), served.image,
                                                  served.response, o.force, say);
            refused != 0) {
            return refused;
        }
    }
    if (const StartProblem problem = station.openOutputs()) {
        if (problem.failure == StartFailure::Usage) {
            return refuse(problem.text);
        }
        say(std::string(STATION_PROGRAM) + ": " + problem.text);
        return EXIT_CANNOT_WRITE;
    }
    const auto closed = station.openPorts();
    for (const auto& [port, why] : closed) {
        say(port + ": Failed to open communication resource: " + why + ".");
    }
    if (!closed.empty()) {
        return EXIT_PORT_FAILURE;
    }

    // Made after the station and gone before it: the station's threads, which tell these of
    // everything, have all been joined when run() returns.
    StationDisplay display(station.ports(), stderrIsTerminal(), o.log);
    // The page and the metrics see the events the table sees; the table sees them first.
    web::Dashboard dashboard({station.ports().begin(), station.ports().end()},
                             station.image().facts, display, {},
                             station.hasRelease() ? &station.release() : nullptr);
    web::WebServer server(dashboard);
    if (!o.http.empty()) {
        if (const std::string failed = server.listen(httpAddress, httpPort, o.httpHosts);
            !failed.empty()) {
            say(std::string(STATION_PROGRAM) + ": " + failed);
            return EXIT_HTTP_UNAVAILABLE;
        }
    }

    // The record is the outbox: delivery runs on its own thread and never holds a port.
    std::unique_ptr<Poster> poster;
    std::unique_ptr<Forwarder> forwarder;
    if (!o.forward.empty()) {
        poster = httpPoster(target, static_cast<uint32_t>(o.forwardTimeout * 1000));
        forwarder = std::make_unique<Forwarder>(o.record, o.forwardName, *poster);
        forwarder->open();
        forwarder->start();
        display.footer([&forwarder] { return describeForward(forwarder->state()); });
    }
    dashboard.traceability(station.provenance(), forwarder.get());

    // The scanner's own thread: a scan is told on the table and the page as it is bound or
    // dropped; a session thread takes it when its box wakes.
    std::atomic<bool> scanning{scanner != nullptr};
    std::thread scanThread;
    if (scanner != nullptr) {
        scanThread = std::thread([&scanning, &scanner, &scans, &dashboard] {
            const auto now = [] {
                return std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                    .count();
            };
            std::string line;
            while (scanning.load()) {
                const ScannerDevice::Read read = scanner->readLine(line, 100);
                std::vector<ScanBinder::Told> told;
                {
                    const std::lock_guard<std::mutex> lock(scans.mutex);
                    if (read == ScannerDevice::Read::Line) {
                        bool tooLong = false;
                        const std::string text = scanText(line, tooLong);
                        if (tooLong) {
                            told.push_back({"", "a scan longer than " + std::to_string(MAX_SCAN) +
                                                    " characters: dropped"});
                        } else if (!text.empty()) {
                            told.push_back(scans.binder.scan(text, now()));
                        }
                    }
                    for (ScanBinder::Told& t : scans.binder.expire(now())) {
                        told.push_back(std::move(t));
                    }
                }
                for (const ScanBinder::Told& t : told) {
                    dashboard.event(t.slot, t.text);
                }
                if (read == ScannerDevice::Read::Gone) {
                    dashboard.event("", "the scanner went away: no more scans");
                    break;
                }
            }
        });
    }

    std::signal(SIGINT, onStationSignal);
    std::signal(SIGTERM, onStationSignal);
    onReloadSignal(onReload);
    onStopControl(onStopWord);
    // Every reload's settings, kept for as long as the station that serves with them.
    std::vector<std::unique_ptr<StationSettings>> reloads;
    bool stopTold = false;
    ServiceNotifier notifier;
    std::string lastForwardError;
    size_t shownPorts = station.ports().size();
    const auto tick = [&] {
        display.redraw();
        if (forwarder != nullptr) {
            // A failing receiver is told once per change of error, not at every retry.
            const ForwardState f = forwarder->state();
            if (f.lastError != lastForwardError) {
                lastForwardError = f.lastError;
                dashboard.event("", describeForward(f));
            }
        }
        const StationTotals now = station.totals();
        notifier.status(std::to_string(now.done) + " complete, " + std::to_string(now.failed) +
                        " failed; yield " + yieldText(now.boxes));
        // A port thread that stops going round stops the pings: the manager restarts us.
        notifier.tick(station.portsMoving(std::max<int64_t>(2 * notifier.pingMs(), 3000)));
        if (g_stationStop.stopping() && !stopTold) {
            stopTold = true;
            notifier.stopping();
        }
        if (!g_reload.exchange(false)) {
            return;
        }
        auto next = std::make_unique<StationSettings>();
        std::string refused = reloadedSettings(o.commandLine, *next);
        if (refused.empty()) {
            refused = station.reload(*next);
        }
        if (!refused.empty()) {
            display.event("", "reload refused: " + refused + "; going on with the old settings");
            return;
        }
        display.event("", "reloaded" + (o.config.empty() ? std::string() : " " + o.config) +
                              ": each port takes the new settings for its next box");
        // The ports it added, and who and where now, on the table and the page as well.
        for (size_t i = shownPorts; i < station.ports().size(); ++i) {
            display.addPort(station.ports()[i]);
            dashboard.addPort(station.ports()[i]);
        }
        shownPorts = station.ports().size();
        dashboard.traceability(station.provenance(), forwarder.get());
        reloads.push_back(std::move(next));
    };

    if (!o.http.empty()) {
        dashboard.event("", "dashboard: " + server.url());
        server.start();
    }
    notifier.ready();
    HeldPort events(dashboard);
    station.run(events, tick);
    if (!stopTold) {
        notifier.stopping(); // the ports stopped before a tick saw the stop
    }
    scanning = false;
    if (scanThread.joinable()) {
        scanThread.join();
    }
    if (forwarder != nullptr) {
        const double wait = o.forwardDrainSeconds;
        dashboard.event("", "forward: sending the backlog to " + o.forwardName + " (" +
                                describeForward(forwarder->state()) + ")");
        const bool drained = forwarder->drain(wait, [] { return g_stationStop.level() >= 3; });
        forwarder->stop();
        const ForwardState f = forwarder->state();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", wait);
        const std::string figures = " (" + std::to_string(f.delivered) + " delivered, " +
                                    std::to_string(f.refused) + " refused, longest backlog " +
                                    std::to_string(f.longestBacklog) + ")";
        dashboard.event("", drained ? "forward: every line delivered to " + o.forwardName + figures
                                    : "forward: " + std::to_string(f.pending) +
                                          " lines not delivered to " + o.forwardName +
                                          " within --forward-drain-seconds " + seconds +
                                          "; the next start sends them" + figures);
    }
    server.stop();
    display.finish();

    const StationTotals totals = station.totals();
    display.event("", summaryLine(totals));
    std::string suspects;
    for (const auto& [port, inRow] : totals.suspects) {
        suspects += (suspects.empty() ? "" : ", ") + port + " (" + std::to_string(inRow) +
                    " failures in a row)";
    }
    if (!suspects.empty()) {
        display.event("", "suspect ports: " + suspects + "; check their cables and adapters");
    }
    const StationResult result = station.result();
    if (result == StationResult::OutputFailed) {
        display.event("", "some of the record, Test Logs or captures could not be written "
                          "(see above)");
    }
    return exitStatus(result);
}

std::string readStationCommand(const std::vector<std::string>& words, CLI::App& app,
                               CliOptions& o) {
    declareCli(app, o);
    o.station.commandLine = words;
    std::ostringstream out, err;
    if (args::parse(app, words, out, err) != args::PROCEED) {
        const std::string said = err.str();
        return said.substr(0, said.find('\n'));
    }
    try {
        o.station.readConfig();
    } catch (const args::Mistake& refused) {
        return refused.what();
    }
    return "";
}

} // namespace kestrune::cli
