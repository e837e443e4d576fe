#pragma once

namespace kestrune::cli {

// Exit status of a wrong usage (sysexits' EX_USAGE).
constexpr int EXIT_USAGE = 64;

// Each subcommand gets the arguments after its own name.
int runInfo(int argc, char** argv);
int runServe(int argc, char** argv);

} // namespace kestrune::cli
