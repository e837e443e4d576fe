// kestrune-cli info IMAGE: the details report of a download image, as the window shows it
// after Load image (header preset, no download run yet).
#include "cli/cli.h"
#include "dsmcc/codec.h"
#include "image/details_report.h"
#include "image/image_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace kestrune::cli {

namespace {

// Exit statuses of `info` besides 0 and EXIT_USAGE.
constexpr int EXIT_INCORRECT_FORMAT = 2; // the loader refused the file
constexpr int EXIT_CANNOT_OPEN = 3;      // missing or unreadable file

constexpr const char* INFO_USAGE = "usage: kestrune-cli info IMAGE\n";

void printInfoHelp() {
    std::fputs(INFO_USAGE, stdout);
    std::fputs("\n"
               "Loads the download image IMAGE (.dl) as the window's Load image command does and\n"
               "prints the details report of its DownloadInfoResponse record to standard output,\n"
               "byte for byte as the window shows it: CR LF line ends, no line end after the\n"
               "final \"}\". The header is preset (protocolDiscriminator 0x11, dsmccType 3,\n"
               "messageId 0x1002); the download parameters are 0, as before any download.\n"
               "\n"
               "Exit status:\n"
               "  0   the report was written\n"
               "  2   the image was refused: \"Incorrect file format!\"\n"
               "  3   the file is missing or cannot be read\n"
               "  64  wrong usage\n",
               stdout);
}

int usageError(const char* message) {
    std::fprintf(stderr, "kestrune-cli info: %s\n", message);
    std::fputs(INFO_USAGE, stderr);
    return EXIT_USAGE;
}

#ifdef _WIN32
// The report's CR LF must reach the file as is, not become CR CR LF.
void setBinaryStdout() {
    _setmode(_fileno(stdout), _O_BINARY);
}
#else
void setBinaryStdout() {}
#endif

// One process-wide record, like the window's; zeroed at start-up.
DownloadInfoResponse infoRecord;
DownloadImage infoImage;

} // namespace

int runInfo(int argc, char** argv) {
    const char* path = nullptr;
    bool optionsDone = false;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (!optionsDone && (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0)) {
            printInfoHelp();
            return 0;
        }
        if (!optionsDone && std::strcmp(arg, "--") == 0) {
            optionsDone = true;
            continue;
        }
        if (!optionsDone && arg[0] == '-' && arg[1] != '\0') {
            return usageError((std::string("unknown option ") + arg).c_str());
        }
        if (path != nullptr) {
            return usageError("only one IMAGE");
        }
        path = arg;
    }
    if (path == nullptr) {
        return usageError("no IMAGE given");
    }

    LoadStatus status;
    if (!loadImage(infoRecord, path, infoImage, &status)) {
        switch (status.error) {
        case LoadError::Open:
            std::fprintf(stderr, "kestrune-cli: cannot open %s: %s\n", path,
                         describeSystemError(status.systemError).c_str());
            return EXIT_CANNOT_OPEN;
        case LoadError::Size:
            std::fprintf(stderr, "kestrune-cli: %s: Incorrect file format! (size: %s)\n", path,
                         describeSystemError(status.systemError).c_str());
            return EXIT_INCORRECT_FORMAT;
        case LoadError::Empty:
            std::fprintf(stderr, "kestrune-cli: %s: Incorrect file format! (empty file)\n", path);
            return EXIT_INCORRECT_FORMAT;
        case LoadError::Map:
            std::fprintf(stderr, "kestrune-cli: %s: Incorrect file format! (cannot map: %s)\n",
                         path, describeSystemError(status.systemError).c_str());
            return EXIT_INCORRECT_FORMAT;
        default:
            std::fprintf(stderr, "kestrune-cli: %s: Incorrect file format!\n", path);
            return EXIT_INCORRECT_FORMAT;
        }
    }

    initResponseHeader(infoRecord);
    std::string report;
    detailsReport(infoRecord, report);
    setBinaryStdout();
    if (std::fwrite(report.data(), 1, report.size(), stdout) != report.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "kestrune-cli: cannot write the report: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace kestrune::cli
