#include "capture/new_file.h"

#include <cerrno>

namespace kestrune::capture {

FILE* createNewFile(const std::string& stem, const char* extension, std::string& path,
                    CrtError& error) {
    constexpr int MAX_NAMES = 1000;
    for (int n = 1; n <= MAX_NAMES; ++n) {
        path = stem;
        if (n > 1) {
            path += '-';
            path += std::to_string(n);
        }
        path += extension;
        if (FILE* file = openNewFile(path)) {
            error = {};
            return file;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    error = lastCrtError();
    return nullptr;
}

} // namespace kestrune::capture
