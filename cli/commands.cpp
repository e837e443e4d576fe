// kestrune-cli's command-line tree, and the command it chose run with its options.
#include "cli/cli.h"

#include <cstdio>

namespace kestrune::cli {

void declareCli(CLI::App& app, CliOptions& o) {
    app.description("The headless front end of Kestrune, the serial download server for the "
                    "Veltrano set top box.");
    args::setUp(app, KESTRUNE_VERSION);
    app.require_subcommand(0, 1);
    declareInfo(*app.add_subcommand("info"), o.info);
    declareServe(*app.add_subcommand("serve"), o.serve);
    declareStation(*app.add_subcommand("station"), o.station);
    declarePorts(*app.add_subcommand("ports"), o.ports);
    declareReport(*app.add_subcommand("report"), o.report);
    // "help" and "help COMMAND" are --help said the way git and apt take it.
    CLI::App& help = *app.add_subcommand("help", "Prints this help, or the help of one COMMAND.");
    help.add_option("COMMAND", o.help, "info, serve, station, ports or report")
        ->type_name("COMMAND");
    app.footer("Run 'kestrune-cli COMMAND --help' or 'kestrune-cli help COMMAND' for the\n"
               "options of one command.");
}

int runCli(int argc, const char* const* argv) {
    CLI::App app("", "kestrune-cli");
    CliOptions o;
    declareCli(app, o);
    if (const int status = args::parse(app, argc, argv); status != args::PROCEED) {
        return status;
    }
    const CLI::App& command = args::chosen(app);
    const std::string& name = command.get_name();
    if (&command == &app) {
        return args::fail(app, "missing COMMAND (info, serve, station, ports or report)");
    }
    if (name == "help") {
        if (o.help.size() > 1) {
            return args::fail(app, "help takes one COMMAND, not " + o.help[1]);
        }
        const CLI::App* shown = &app;
        if (!o.help.empty() && o.help.front() != "help") {
            const auto named = app.get_subcommands(
                [&o](const CLI::App* sub) { return sub->get_name() == o.help.front(); });
            if (named.empty()) {
                return args::fail(app, "unknown command " + o.help.front());
            }
            shown = named.front();
        }
        std::fputs(args::help(*shown).c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (name == "info") {
        return runInfo(command, o.info);
    }
    if (name == "serve") {
        return runServe(command, o.serve);
    }
    if (name == "station") {
        return runStation(command, o.station);
    }
    if (name == "report") {
        return runReport(command, o.report);
    }
    return runPorts(command, o.ports);
}

} // namespace kestrune::cli
