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

void declareRelease(CLI::App& app, std::string& release, std::string& key) {
    CLI::Option* file =
        app.add_option("--release", release,
                       "serve from a release file instead of IMAGE: each box gets the image its "
                       "hardware descriptor fits, a box that fits none is not served")
            ->type_name("FILE");
    app.add_option("--release-key", key,
                   "require the release to be signed by this minisign public key "
                   "(FILE.minisig beside the release)")
        ->type_name("KEY")
        ->needs(file);
}

std::string checkImageOrRelease(const std::string& image, const std::string& release,
                                const std::string& expectHardware) {
    if (release.empty()) {
        return image.empty() ? "IMAGE is required (or --release FILE)" : "";
    }
    if (!image.empty()) {
        return "give IMAGE or --release, not both";
    }
    if (!expectHardware.empty()) {
        return "--expect-hardware is a release of one image: give it or --release, not both";
    }
    return "";
}

} // namespace kestrune::cli

namespace kestrune::cli {

void printLine(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

int checkImageToServe(const char* program, const char* path, const DownloadImage& image,
                      const DownloadInfoResponse& record, bool force,
                      const std::function<void(const std::string&)>& say) {
    const ImageCoverage coverage = imageCoverage(image.data(), image.size());
    if (mostlyUndescribed(coverage)) {
        say(std::string(program) + ": " + describeCoverage(path, coverage));
    }
    if (record.numberOfModules == 0 && !force) {
        say(std::string(program) + ": " + path +
            ": the image has no modules: there is nothing to download (give --force to serve it "
            "all the same)");
        return EXIT_IMAGE_NOT_LOADABLE;
    }
    return 0;
}

void declareHardwareGuard(CLI::App& app, std::string& hardware, std::string& oui) {
    CLI::Option* model =
        app.add_option("--expect-hardware", hardware,
                       "serve only boxes whose system hardware descriptor has this model (and "
                       "version), in hexadecimal as the box shows them (5601/0203 or "
                       "0x5601/0x0203); any other box, and one whose request never arrived intact, "
                       "is not served and keeps its software")
            ->type_name("MODEL[/VERSION]");
    app.add_option("--expect-oui", oui,
                   "with --expect-hardware: the maker's OUI too, in hexadecimal (00-A0-B1, "
                   "00A0B1 or 0x00A0B1)")
        ->type_name("OUI")
        ->needs(model);
}

} // namespace kestrune::cli
