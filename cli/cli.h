#pragma once

#include "args/args.h"
#include "args/config.h"
#include "image/image_loader.h"
#include "report/formats.h"
#include "station/station.h"
#include "station/verdict.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kestrune::cli {

// Exit statuses shared by the subcommands.
constexpr int EXIT_DOWNLOAD_ERROR = 1;
constexpr int EXIT_NOT_RESPONDING = 2;
constexpr int EXIT_PORT_FAILURE = 3;
constexpr int EXIT_ABORTED = 4;
// Every subcommand whose image cannot be loaded: missing, unreadable or refused.
constexpr int EXIT_IMAGE_NOT_LOADABLE = 5;
// The box is not the hardware of --expect-hardware: it was not served.
constexpr int EXIT_WRONG_BOX = 6;
// The station's --http address cannot be listened on (sysexits' EX_UNAVAILABLE).
constexpr int EXIT_HTTP_UNAVAILABLE = 69;
// Wrong usage (sysexits' EX_USAGE).
constexpr int EXIT_USAGE = args::EXIT_USAGE;
// An output file (the Test Log) cannot be created or written (sysexits' EX_CANTCREAT).
constexpr int EXIT_CANNOT_WRITE = 73;
// An input file (a record for report) cannot be opened or read (sysexits' EX_NOINPUT).
constexpr int EXIT_CANNOT_READ = 66;

// Each command: its options, the function that declares them on the command's App (and runs
// nothing), and the one that runs the command with them. The run functions get their App for
// args::fail.
struct InfoOptions {
    std::string image;
};
void declareInfo(CLI::App& app, InfoOptions& o);
int runInfo(const CLI::App& app, const InfoOptions& o);

struct ServeOptions {
    std::string port = "COM1";
    std::string log;
    std::string pcap;
    std::string image;
    bool quiet = false;
    bool trace = false;
    bool force = false;
    std::string expectHardware;
    std::string expectOui;
    std::string release;
    std::string releaseKey;
};
void declareServe(CLI::App& app, ServeOptions& o);
int runServe(const CLI::App& app, const ServeOptions& o);

// The station's own settings, bound to its options as they are; the rest is the command's.
struct StationOptions : station::StationSettings {
    std::string expectHardware;
    std::string expectOui;
    std::string http;                        // [ADDRESS:]PORT of the station's page, or ""
    std::vector<std::string> httpHosts;      // more names the page answers to
    std::string config;                      // --config FILE, or ""
    bool check = false;                      // print the settings and their sources, run nothing
    std::vector<args::ConfigSource> sources; // with --config: every setting and where it is from
    // Gives the --config file's settings to the options the command line left unset (set by
    // declareStation; throws args::Mistake).
    std::function<void()> readConfig;
    // The whole command line (without the program), read again at a reload.
    std::vector<std::string> commandLine;
    // A service's log file: every line the station says goes there, timed, instead of stderr.
    std::FILE* log = nullptr;
};
void declareStation(CLI::App& app, StationOptions& o);
int runStation(const CLI::App& app, const StationOptions& o);

struct PortsOptions {
    bool plain = false;
    std::string advise; // hidden, for kestrune-window: the advice for a port it cannot open
};
void declarePorts(CLI::App& app, PortsOptions& o);
int runPorts(const CLI::App& app, const PortsOptions& o);

struct ReportOptions {
    std::vector<std::string> records;
    std::string since;
    std::string until;
    std::vector<std::string> ports;
    std::vector<std::string> lots;
    std::vector<std::string> stations;
    std::string unit;
    report::Format format = report::Format::Text;
    unsigned suspectAfter = 3;
};
void declareReport(CLI::App& app, ReportOptions& o);
int runReport(const CLI::App& app, const ReportOptions& o);

struct ReleaseOptions {
    std::string file;
    std::string key;
};
// `release check FILE [--release-key KEY]`.
void declareReleaseCommand(CLI::App& app, ReleaseOptions& o);
int runReleaseCommand(const CLI::App& app, const ReleaseOptions& o);

// `service install NAME --config FILE [--start auto|demand]`, `service remove NAME`, `service
// reload NAME`, `service run NAME --config FILE` (cli/service_control.h).
struct ServiceOptions {
    std::string action; // the subcommand given
    std::string name;
    std::string config;
    bool demand = false; // started by hand, not with Windows
};
void declareService(CLI::App& app, ServiceOptions& o);
int runService(const CLI::App& app, const ServiceOptions& o);

// kestrune-cli's whole tree: the root (set up here) and a subcommand per command.
struct CliOptions {
    InfoOptions info;
    ServeOptions serve;
    StationOptions station;
    PortsOptions ports;
    ReportOptions report;
    ReleaseOptions release;
    ServiceOptions service;
    std::vector<std::string> help; // help [COMMAND]
    std::string commands;          // "info, serve, station, ports or report"
    std::function<int()> run;      // the chosen command with its options, set by its callback
};
void declareCli(CLI::App& app, CliOptions& o);
// A station's command line parsed (on `app`, declared here) and its config file read, into `o`:
// "" or the line that says why not. A service's start and every reload read a station so.
std::string readStationCommand(const std::vector<std::string>& words, CLI::App& app, CliOptions& o);
// Parses the command line and runs the command it names: kestrune-cli's main.
int runCli(int argc, const char* const* argv);

// "IMAGE: cannot open: No such file or directory", "IMAGE: Incorrect file format! (empty
// file)": why an image could not be loaded, for "kestrune-cli COMMAND: " to precede.
std::string describeLoadFailure(const char* path, const LoadStatus& status);

// "only 7 of 142,144 bytes of /bin/ls are described by its module table: is it a .dl file?"
// when most of a loaded image lies after its last module; empty otherwise.
std::string describeCoverage(const char* path, const ImageCoverage& coverage);

// One line on stderr: where a command's lines go when no service's log takes them.
void printLine(const std::string& line);

// What serve and station check of a loaded image before they serve it: a warning when most of
// the file lies after its modules, and a refusal (EXIT_IMAGE_NOT_LOADABLE, told to `say`) of an
// image with no modules unless `force`. 0 when it may be served.
int checkImageToServe(const char* program, const char* path, const DownloadImage& image,
                      const DownloadInfoResponse& record, bool force,
                      const std::function<void(const std::string&)>& say = printLine);

// --suspect-after K, as station and report take it: one range, one default; `what` is the
// start of its help.
void declareSuspectAfter(CLI::App& app, unsigned& k, const std::string& what);

// --expect-hardware MODEL[/VERSION] and --expect-oui OUI, as serve and station take them (read
// by station::parseHardwareGuard).
void declareHardwareGuard(CLI::App& app, std::string& hardware, std::string& oui);
// --release FILE and --release-key KEY, of serve and station.
void declareRelease(CLI::App& app, std::string& release, std::string& key);
// "" when exactly one of IMAGE and --release is given (and no guard beside a release), else the
// usage message.
std::string checkImageOrRelease(const std::string& image, const std::string& release,
                                const std::string& expectHardware);

} // namespace kestrune::cli
