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
