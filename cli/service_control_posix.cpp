// Linux runs a station as a systemd unit (service/kestrune-station@.service): there is no
// service control manager for `kestrune-cli service` to talk to.
#include "cli/service_control.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

namespace kestrune::cli {
namespace {

constexpr char MISSING[] = "the service commands are for Windows; on Linux use systemd "
                           "(docs/service.md)";

} // namespace

const char* servicesMissing() {
    return MISSING;
}

std::string installService(const std::string&, const std::string&, const std::string&, bool) {
    return MISSING;
}

std::string removeService(const std::string&, const std::function<void(const std::string&)>&) {
    return MISSING;
}

std::string reloadService(const std::string&) {
    return MISSING;
}

std::string runAsService(const std::string&, const std::function<int()>&, int&) {
    return MISSING;
}

// The journal has a Linux station's lines already (standard output under systemd).
void reportServiceEvent(const std::string&, bool, const std::string&) {}

std::string thisExecutable() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string absolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    char here[PATH_MAX];
    return getcwd(here, sizeof here) != nullptr ? std::string(here) + "/" + path : path;
}

bool setWorkingFolder(const std::string& folder) {
    return folder.empty() || chdir(folder.c_str()) == 0;
}

} // namespace kestrune::cli
