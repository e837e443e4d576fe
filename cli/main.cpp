#include "cli/args.h"
#include "cli/cli.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    namespace args = kestrune::args;
    std::vector<std::string> command;
    args::Command cmd("kestrune-cli", "The headless front end of Kestrune, the serial download "
                                      "server for the Veltrano set top box.");
    cmd.version()
        .usage("[--help | --version]\n"
               "COMMAND [OPTIONS] ...")
        .rest("COMMAND", command, "info, serve, station, ports, report or help")
        .footer("Commands:\n"
                "  info IMAGE     print the details report of a download image (.dl)\n"
                "  serve IMAGE    wait for a set top box on a serial port and download the\n"
                "                 image to it\n"
                "  station IMAGE  flash boxes on many ports at once, unattended, with a record\n"
                "                 of every box\n"
                "  ports          list the serial ports of this machine\n"
                "  report RECORD  the numbers of station records: boxes, yield, download\n"
                "                 times, boxes per hour, suspect ports\n"
                "  help [COMMAND] this help, or the help of one command\n"
                "\n"
                "Run 'kestrune-cli COMMAND --help' or 'kestrune-cli help COMMAND' for the\n"
                "options of one command.");
    if (const int status = cmd.parse(argc - 1, argv + 1); status != args::PROCEED) {
        return status;
    }
    if (command.empty()) {
        return cmd.fail("missing COMMAND (info, serve, station, ports or report)");
    }
    // The subcommand gets the arguments after its own name.
    std::vector<char*> rest;
    const int first = argc - int(command.size()) + 1;
    for (int i = first; i < argc; ++i) {
        rest.push_back(argv[i]);
    }
    // "help" and "help COMMAND" are --help said the way git and apt take it.
    static char helpOption[] = "--help";
    if (command.front() == "help") {
        if (command.size() > 2) {
            return cmd.fail("help takes one COMMAND, not " + command[2]);
        }
        if (command.size() == 1 || command[1] == "help") {
            std::fputs(cmd.help().c_str(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        command.erase(command.begin());
        rest.assign({helpOption});
    }
    rest.push_back(nullptr);
    const int count = int(rest.size()) - 1;
    if (command.front() == "info") {
        return kestrune::cli::runInfo(count, rest.data());
    }
    if (command.front() == "serve") {
        return kestrune::cli::runServe(count, rest.data());
    }
    if (command.front() == "station") {
        return kestrune::cli::runStation(count, rest.data());
    }
    if (command.front() == "ports") {
        return kestrune::cli::runPorts(count, rest.data());
    }
    if (command.front() == "report") {
        return kestrune::cli::runReport(count, rest.data());
    }
    return cmd.fail("unknown command " + command.front());
}
