// Writes the details report of an image as the library renders it, to compare a front end's
// output with. Usage: report_dump IMAGE OUT; exit 0, or 2 when the image is refused.
#include "dsmcc/codec.h"
#include "image/details_report.h"
#include "image/image_loader.h"

#include <cstdio>

namespace {
kestrune::DownloadInfoResponse record;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: report_dump IMAGE OUT\n", stderr);
        return 64;
    }
    kestrune::DownloadImage image;
    if (!kestrune::loadImage(record, argv[1], image)) {
        return 2;
    }
    kestrune::initResponseHeader(record);
    const std::string report = kestrune::detailsReport(record);
    FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) {
        return 1;
    }
    const bool ok = std::fwrite(report.data(), 1, report.size(), out) == report.size();
    return std::fclose(out) == 0 && ok ? 0 : 1;
}
