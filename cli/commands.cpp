// kestrune-cli's command-line tree, and the command it chose run with its options.
#include "cli/cli.h"

#include <cstdio>
#include <functional>

namespace kestrune::cli {
namespace {

// One command: its subcommand declared from its options, and a callback that, when the line
// chose it, leaves its run in `run` for after the parse.
template <typename Options>
void addCommand(CLI::App& app, const char* name, Options& options,
                void (*declare)(CLI::App&, Options&),
                int (*runCommand)(const CLI::App&, const Options&), std::function<int()>& run) {
    CLI::App& command = *app.add_subcommand(name);
    declare(command, options);
    command.callback([&command, &options, runCommand, &run] {
        run = [&command, &options, runCommand] { return runCommand(command, options); };
    });
}

// "help" and "help COMMAND" are --help said the way git and apt take it.
int runHelp(const CLI::App& app, const std::vector<std::string>& named) {
    const CLI::App& root = *app.get_parent();
    if (named.size() > 1) {
        return args::fail(root, "help takes one COMMAND, not " + named[1]);
    }
    const CLI::App* shown = named.empty() ? &root : root.get_subcommand(named.front());
    if (shown == &app) {
        shown = &root;
    }
    std::fputs(args::help(*shown).c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

void declareSuspectAfter(CLI::App& app, unsigned& k, const std::string& what) {
    app.add_option("--suspect-after", k, what + " (default " + std::to_string(k) + ")")
        ->type_name("K")
        ->transform(args::Number(1, 1000));
}

void declareCli(CLI::App& app, CliOptions& o) {
    app.description("The headless front end of Kestrune, the serial download server for the "
                    "Veltrano set top box.");
    args::setUp(app, KESTRUNE_VERSION);
    app.require_subcommand(0, 1);
    addCommand(app, "info", o.info, declareInfo, runInfo, o.run);
    addCommand(app, "serve", o.serve, declareServe, runServe, o.run);
    addCommand(app, "station", o.station, declareStation, runStation, o.run);
    addCommand(app, "ports", o.ports, declarePorts, runPorts, o.run);
    addCommand(app, "report", o.report, declareReport, runReport, o.run);
    addCommand(app, "release", o.release, declareReleaseCommand, runReleaseCommand, o.run);
    addCommand(app, "service", o.service, declareService, runService, o.run);
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands({})) {
        names.push_back(command->get_name());
    }
    o.commands = args::listOf(names);
    CLI::App& help = *app.add_subcommand("help", "Prints this help, or the help of one COMMAND.");
    names.push_back("help");
    help.add_option("COMMAND", o.help, o.commands)
        ->type_name("COMMAND")
        ->check(args::CommandName(names));
    help.callback([&help, &o] { o.run = [&help, &o] { return runHelp(help, o.help); }; });
    app.footer("Run 'kestrune-cli COMMAND --help' or 'kestrune-cli help COMMAND' for the\n"
               "options of one command.");
}

int runCli(int argc, const char* const* argv) {
    CLI::App app("", "kestrune-cli");
    CliOptions o;
    declareCli(app, o);
    o.station.commandLine.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (const int status = args::parse(app, argc, argv); status != args::PROCEED) {
        return status;
    }
    if (!o.run) {
        return args::fail(app, "missing COMMAND (" + o.commands + ")");
    }
    return o.run();
}

} // namespace kestrune::cli
