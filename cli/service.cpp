// kestrune-cli service install|remove|reload|run: a station from its config file as a Windows
// service. `run` is what the service manager starts; it runs the same station command a console
// runs, with its lines in a log file, its stop and reload the manager's controls.
#include "cli/cli.h"
#include "cli/service_control.h"
#include "cli/station_display.h"

#include <cctype>
#include <cstdio>

namespace kestrune::cli {

std::string quoteArgument(const std::string& word) {
    if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
        return word;
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    // The closing quote must not be escaped by the word's own last backslashes.
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

std::string serviceCommandLine(const std::string& exe, const std::string& name,
                               const std::string& config) {
    // The program's path is always quoted: unquoted, a path with a space is the classic
    // hijack of a service ("C:\Program.exe").
    const std::string program = quoteArgument(exe);
    return (program.front() == '"' ? program : "\"" + program + "\"") + " service run " +
           quoteArgument(name) + " --config " + quoteArgument(config);
}

std::string checkServiceName(const std::string& name) {
    bool plain = !name.empty() && name.size() <= 80;
    for (const char c : name) {
        plain = plain && (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' ||
                          c == '_' || c == '.');
    }
    return plain
               ? ""
               : "a service name is 1 to 80 letters, digits, '-', '_' or '.', not \"" + name + "\"";
}

std::string folderOf(const std::string& path) {
    const size_t end = path.find_last_of("/\\:");
    return end == std::string::npos ? "" : path.substr(0, end + 1);
}

std::string serviceLogPath(const std::string& name, const std::string& record) {
    return folderOf(record) + name + ".log";
}

namespace {

constexpr char SERVICE_PROGRAM[] = "kestrune-cli service";

std::vector<std::string> stationWords(const std::string& config) {
    return {"station", "--config", config};
}

int refuse(const std::string& text, int status = EXIT_USAGE) {
    std::fprintf(stderr, "%s: %s\n", SERVICE_PROGRAM, text.c_str());
    return status;
}

int install(const ServiceOptions& o) {
    const std::string config = absolutePath(o.config);
    // A config that would not start is refused now, in the console, not in the log at boot.
    CLI::App app("", "kestrune-cli");
    CliOptions station;
    if (const std::string refused = readStationCommand(stationWords(config), app, station);
        !refused.empty()) {
        return refuse(refused);
    }
    const std::string line = serviceCommandLine(thisExecutable(), o.name, config);
    if (const std::string failed = installService(o.name, line, config, !o.demand);
        !failed.empty()) {
        return refuse(failed, EXIT_PORT_FAILURE);
    }
    std::printf("installed the service %s (%s start): %s\nstart it with: sc start %s\n",
                o.name.c_str(), o.demand ? "demand" : "auto", line.c_str(), o.name.c_str());
    return 0;
}

// In the service's own thread, once the manager has started it.
int serve(const ServiceOptions& o) {
    const std::string config = absolutePath(o.config);
    // The manager starts services in the system folder: the config's relative paths (the
    // image, the record, the logs) are taken from the config's folder instead.
    if (!setWorkingFolder(folderOf(config))) {
        return EXIT_CANNOT_READ;
    }
    const std::vector<std::string> words = stationWords(config);
    // Read once to find the record, beside which the log goes; the station reads it again.
    std::string refused;
    std::string record;
    {
        CLI::App app("", "kestrune-cli");
        CliOptions first;
        refused = readStationCommand(words, app, first);
        record = first.station.record;
    }
    std::FILE* log = std::fopen(serviceLogPath(o.name, record).c_str(), "ab");
    if (log == nullptr) {
        return EXIT_CANNOT_WRITE;
    }
    // The start, a refusal and the end go to the event log too, where an administrator looks
    // first; a box's failure is the line's daily work, not the service's, and stays in the log.
    const auto tell = [&o, log](const std::string& text, bool failure) {
        logEvent(log, text);
        reportServiceEvent(o.name, failure, text);
    };
    tell("service " + o.name + ": the station starts from " + config, false);
    int status = EXIT_USAGE;
    if (refused.empty()) {
        CLI::App app("", "kestrune-cli");
        CliOptions run;
        run.station.log = log;
        run.station.stopWord = "sc stop " + o.name;
        run.station.abortWord = "a system shutdown";
        refused = readStationCommand(words, app, run);
        if (refused.empty()) {
            status = run.run();
        }
    }
    if (!refused.empty()) {
        tell("kestrune-cli station: " + refused, true);
    }
    tell("service " + o.name + ": the station ended with status " + std::to_string(status),
         status == EXIT_PORT_FAILURE || status > EXIT_ABORTED);
    std::fclose(log);
    return status;
}

} // namespace

void declareService(CLI::App& app, ServiceOptions& o) {
    app.description("A station from its config file as a Windows service: installed, reloaded, "
                    "removed.");
    app.require_subcommand(0, 1);
    const auto name = [&o](CLI::App& command) {
        command.add_option("NAME", o.name, "the service's name")->required();
    };
    CLI::App& install = *app.add_subcommand(
        "install", "Registers the service NAME that runs `station --config FILE`.");
    name(install);
    install.add_option("--config", o.config, "the station's config file")
        ->type_name("FILE")
        ->required();
    install
        .add_option("--start", o.demand,
                    "auto: started with Windows (the default); demand: by `sc start NAME`")
        ->type_name("auto|demand")
        ->transform(args::Word<bool>({{"auto", false}, {"demand", true}}));
    CLI::App& remove =
        *app.add_subcommand("remove", "Stops the service NAME (downloads in progress finish) "
                                      "and removes it.");
    name(remove);
    CLI::App& reload = *app.add_subcommand(
        "reload", "The running service NAME reads its config and release again: each port "
                  "takes them for its next box.");
    name(reload);
    CLI::App& run = *app.add_subcommand(
        "run", "What the service manager starts: the station of FILE, its lines in NAME.log "
               "beside its record.");
    name(run);
    run.add_option("--config", o.config, "the station's config file")
        ->type_name("FILE")
        ->required();
    for (CLI::App* command : {&install, &remove, &reload, &run}) {
        command->callback([&o, command] { o.action = command->get_name(); });
    }
    app.footer("Stop (sc stop NAME) is a station's first Ctrl-C: no new boxes, the downloads\n"
               "in progress finish; a system shutdown is the second: they are aborted.\n"
               "\n"
               "Exit status: 0 done, 3 the service manager refused, 64 wrong usage (or not on\n"
               "Windows); run ends with the station's own status.");
}

int runService(const CLI::App& cmd, const ServiceOptions& o) {
    if (o.action.empty()) {
        return args::fail(cmd, "missing COMMAND (install, remove, reload or run)");
    }
    if (const char* missing = servicesMissing(); missing != nullptr) {
        return refuse(missing);
    }
    if (const std::string wrong = checkServiceName(o.name); !wrong.empty()) {
        return args::fail(cmd, wrong);
    }
    if (o.action == "install") {
        return install(o);
    }
    if (o.action == "remove") {
        const std::string failed = removeService(o.name, [](const std::string& line) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        });
        if (!failed.empty()) {
            return refuse(failed, EXIT_PORT_FAILURE);
        }
        std::printf("removed the service %s\n", o.name.c_str());
        return 0;
    }
    if (o.action == "reload") {
        if (const std::string failed = reloadService(o.name); !failed.empty()) {
            return refuse(failed, EXIT_PORT_FAILURE);
        }
        std::printf("asked %s to reload its config; its log says whether it took it\n",
                    o.name.c_str());
        return 0;
    }
    int status = 0;
    if (const std::string failed = runAsService(
            o.name, [&o] { return serve(o); }, status);
        !failed.empty()) {
        return refuse(failed);
    }
    return status;
}

} // namespace kestrune::cli
