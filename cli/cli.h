#pragma once

#include <string>

namespace kestrune {
struct LoadStatus;
}

namespace kestrune::cli {

// Exit statuses shared by the subcommands.
constexpr int EXIT_DOWNLOAD_ERROR = 1;
constexpr int EXIT_NOT_RESPONDING = 2;
constexpr int EXIT_PORT_FAILURE = 3;
constexpr int EXIT_ABORTED = 4;
constexpr int EXIT_BAD_IMAGE = 5;
// Wrong usage (sysexits' EX_USAGE).
constexpr int EXIT_USAGE = 64;
// An output file (the Test Log) cannot be created or written (sysexits' EX_CANTCREAT).
constexpr int EXIT_CANNOT_WRITE = 73;

// "IMAGE: Incorrect file format!" with the system's reason where there is one.
std::string loadFailureText(const char* path, const LoadStatus& status);

// Each subcommand gets the arguments after its own name.
int runInfo(int argc, char** argv);
int runServe(int argc, char** argv);

} // namespace kestrune::cli
