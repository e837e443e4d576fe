#include "cli/cli.h"
#include "cli/console.h"

namespace kestrune::cli {

std::string describeLoadFailure(const char* path, const LoadStatus& status) {
    const std::string image = std::string(path) + ": ";
    switch (status.error) {
    case LoadError::Open:
        return image + "cannot open: " + describeSystemError(status.systemError);
    case LoadError::Size:
        return image + "Incorrect file format! (size: " + describeSystemError(status.systemError) +
               ")";
    case LoadError::Empty:
        return image + "Incorrect file format! (empty file)";
    case LoadError::Map:
        return image +
               "Incorrect file format! (cannot map: " + describeSystemError(status.systemError) +
               ")";
    case LoadError::Snapshot: {
        // Not the file's fault: say where the copy was tried and why each place failed.
        std::string text = image + "cannot make a private copy to serve from";
        const char* separator = ": ";
        for (const SnapshotAttempt& attempt : status.snapshotAttempts) {
            text += separator + (attempt.folder.empty() ? "a memory file" : attempt.folder) + ": " +
                    describeSystemError(attempt.systemError);
            separator = "; ";
        }
        if (status.snapshotAttempts.empty()) {
            text += ": " + describeSystemError(status.systemError);
        }
        return text;
    }
    default:
        return image + "Incorrect file format!";
    }
}

std::string describeCoverage(const char* path, const ImageCoverage& coverage) {
    if (!mostlyUndescribed(coverage)) {
        return "";
    }
    return "only " + groupDigits(coverage.describedBytes) + " of " +
           groupDigits(coverage.fileBytes) + " bytes of " + path +
           " are described by its module table: is it a .dl file?";
}

} // namespace kestrune::cli

namespace kestrune::cli {

int checkImageToServe(const char* program, const char* path, const DownloadImage& image,
                      const DownloadInfoResponse& record, bool force) {
    const ImageCoverage coverage = imageCoverage(image.data(), image.size());
    if (mostlyUndescribed(coverage)) {
        std::fprintf(stderr, "%s: %s\n", program, describeCoverage(path, coverage).c_str());
    }
    if (record.numberOfModules == 0 && !force) {
        std::fprintf(stderr,
                     "%s: %s: the image has no modules: there is nothing to download (give "
                     "--force to serve it all the same)\n",
                     program, path);
        return EXIT_IMAGE_NOT_LOADABLE;
    }
    return 0;
}

void declareHardwareGuard(CLI::App& app, std::string& hardware, std::string& oui) {
    CLI::Option* model =
        app.add_option("--expect-hardware", hardware,
                       "serve only boxes whose system hardware descriptor has this model (and "
                       "version); any other box is not served and keeps its software")
            ->type_name("MODEL[/VERSION]");
    app.add_option("--expect-oui", oui, "with --expect-hardware: the maker's OUI too (00-A0-B1)")
        ->type_name("OUI")
        ->needs(model);
}

std::string parseHardwareGuard(const std::string& hardware, const std::string& oui,
                               station::HardwareGuard& guard) {
    guard = {};
    if (hardware.empty()) {
        return oui.empty() ? "" : "--expect-oui needs --expect-hardware";
    }
    const size_t slash = hardware.find('/');
    uint64_t model = 0;
    uint64_t version = 0;
    if (!args::parseNumber(hardware.substr(0, slash), 0xFFFF, model) ||
        (slash != std::string::npos &&
         !args::parseNumber(hardware.substr(slash + 1), 0xFFFF, version))) {
        return "--expect-hardware needs MODEL or MODEL/VERSION, numbers from 0 to 65535 (or "
               "0x0 to 0xFFFF), not " +
               hardware;
    }
    guard.active = true;
    guard.model = static_cast<uint16_t>(model);
    guard.checkVersion = slash != std::string::npos;
    guard.version = static_cast<uint16_t>(version);
    if (!oui.empty()) {
        // "00-A0-B1", "00:a0:b1" or a number.
        std::string digits;
        for (const char c : oui) {
            if (c != '-' && c != ':') {
                digits += c;
            }
        }
        uint64_t value = 0;
        const bool separated = digits.size() != oui.size();
        if (!(separated ? digits.size() == 6 && args::parseNumber("0x" + digits, 0xFFFFFF, value)
                        : args::parseNumber(oui, 0xFFFFFF, value))) {
            return "--expect-oui needs an OUI such as 00-A0-B1, not " + oui;
        }
        guard.checkOui = true;
        guard.oui = static_cast<uint32_t>(value);
    }
    return "";
}

} // namespace kestrune::cli
