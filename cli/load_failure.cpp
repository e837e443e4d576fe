#include "cli/cli.h"

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
    default:
        return image + "Incorrect file format!";
    }
}

} // namespace kestrune::cli
