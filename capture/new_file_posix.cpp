#include "capture/new_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kestrune::capture {

FILE* openNewFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

} // namespace kestrune::capture
