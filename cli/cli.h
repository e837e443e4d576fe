#pragma once

#include "cli/args.h"
#include "image/image_loader.h"
#include "station/verdict.h"

#include <string>

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

// Each subcommand gets the arguments after its own name.
int runInfo(int argc, char** argv);
int runServe(int argc, char** argv);
int runStation(int argc, char** argv);
int runPorts(int argc, char** argv);
int runReport(int argc, char** argv);

// "IMAGE: cannot open: No such file or directory", "IMAGE: Incorrect file format! (empty
// file)": why an image could not be loaded, for "kestrune-cli COMMAND: " to precede.
std::string describeLoadFailure(const char* path, const LoadStatus& status);

// "only 7 of 142,144 bytes of /bin/ls are described by its module table: is it a .dl file?"
// when most of a loaded image lies after its last module; empty otherwise.
std::string describeCoverage(const char* path, const ImageCoverage& coverage);

// What serve and station check of a loaded image before they serve it: a warning when most of
// the file lies after its modules, and a refusal (EXIT_IMAGE_NOT_LOADABLE, said on stderr) of an
// image with no modules unless `force`. 0 when it may be served.
int checkImageToServe(const char* program, const char* path, const DownloadImage& image,
                      const DownloadInfoResponse& record, bool force);

// --expect-hardware MODEL[/VERSION] and --expect-oui OUI ("" when not given): "" when they
// read, else the usage message.
std::string parseHardwareGuard(const std::string& hardware, const std::string& oui,
                               station::HardwareGuard& guard);

} // namespace kestrune::cli
