#include "cli/cli.h"

#include <cstdio>
#include <cstring>

namespace {

void printUsage(FILE* out) {
    std::fputs("usage: kestrune-cli info IMAGE\n"
               "       kestrune-cli serve [--port DEVICE] [--log FILE] [--quiet] [--trace] IMAGE\n"
               "\n"
               "  info    print the details report of a download image (.dl)\n"
               "  serve   wait for a set top box on a serial port and download the image to it\n"
               "\n"
               "Run 'kestrune-cli COMMAND --help' for the options of one command.\n",
               out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage(stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "info") == 0) {
        return kestrune::cli::runInfo(argc - 2, argv + 2);
    }
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
        return kestrune::cli::runServe(argc - 2, argv + 2);
    }
    printUsage(stderr);
    return kestrune::cli::EXIT_USAGE;
}
