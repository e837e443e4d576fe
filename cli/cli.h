#pragma once

#include "cli/args.h"
#include "image/image_loader.h"

#include <string>

namespace kestrune::cli {

// Exit status of a wrong usage (sysexits' EX_USAGE).
constexpr int EXIT_USAGE = args::EXIT_USAGE;
// Exit status of every subcommand whose image cannot be loaded: missing, unreadable or refused.
constexpr int EXIT_IMAGE_NOT_LOADABLE = 5;

// Each subcommand gets the arguments after its own name.
int runInfo(int argc, char** argv);
int runServe(int argc, char** argv);

// What every subcommand says when loadImage fails, after "<program>: ":
//   "IMAGE: cannot open: No such file or directory"   (missing or unreadable)
//   "IMAGE: Incorrect file format! (empty file)"       (refused, with the reason when known)
std::string describeLoadFailure(const char* path, const LoadStatus& status);

} // namespace kestrune::cli
