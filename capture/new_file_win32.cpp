#include "capture/new_file.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace kestrune::capture {

FILE* openNewFile(const std::string& path) {
    // _O_CREAT | _O_EXCL is CreateFile's CREATE_NEW, with the C runtime's errno (EEXIST).
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        _close(fd);
        errno = error;
    }
    return file;
}

} // namespace kestrune::capture
