// kestrune-cli info IMAGE: the details report of a download image, as the window shows it
// after Load image (header preset, no download run yet).
#include "cli/cli.h"
#include "cli/terminal.h"
#include "dsmcc/codec.h"
#include "image/details_report.h"
#include "image/image_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace kestrune::cli {

namespace {

constexpr const char* INFO_PROGRAM = "kestrune-cli info";

// One process-wide record, like the window's; zeroed at start-up.
DownloadInfoResponse infoRecord;
DownloadImage infoImage;

} // namespace

void declareInfo(CLI::App& app, InfoOptions& o) {
    app.description("Prints the details report of a download image (.dl). It loads IMAGE as "
                    "the window's Load image command does and writes the details report of its "
                    "DownloadInfoResponse record to standard output, byte for byte as the window "
                    "shows it: CR LF line ends, no "
                    "line end after the final \"}\" (but one on a terminal, for the prompt). The "
                    "header is preset (protocolDiscriminator 0x11, dsmccType 3, messageId "
                    "0x1002); the download parameters are 0, as before any download.");
    app.add_option("IMAGE", o.image, "the download image (.dl); after -- it may begin with '-'")
        ->required();
    app.footer("Exit status:\n"
               "  0   the report was written\n"
               "  1   the report could not be written\n"
               "  5   the image cannot be loaded: missing or unreadable (\"IMAGE: cannot open:\n"
               "      REASON\"), or refused (\"IMAGE: Incorrect file format!\")\n"
               "  64  wrong usage");
}

int runInfo(const CLI::App&, const InfoOptions& o) {
    const std::string& path = o.image;
    LoadStatus status;
    if (!loadImage(infoRecord, path.c_str(), infoImage, &status)) {
        std::fprintf(stderr, "%s: %s\n", INFO_PROGRAM,
                     describeLoadFailure(path.c_str(), status).c_str());
        return EXIT_IMAGE_NOT_LOADABLE;
    }

    // A warning only: the loader takes such a file, and so does the report.
    if (const std::string warning =
            describeCoverage(path.c_str(), imageCoverage(infoImage.data(), infoImage.size()));
        !warning.empty()) {
        std::fprintf(stderr, "%s: %s\n", INFO_PROGRAM, warning.c_str());
    }
    initResponseHeader(infoRecord);
    std::string report;
    detailsReport(infoRecord, report);
    // A file or a pipe gets the window's report byte for byte; a terminal also gets a line end
    // after the final "}", so the shell's prompt starts on a line of its own.
    if (stdoutIsTerminal()) {
        report += "\r\n";
    }
    setBinaryStdout();
    if (std::fwrite(report.data(), 1, report.size(), stdout) != report.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: cannot write the report: %s\n", INFO_PROGRAM,
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

} // namespace kestrune::cli
