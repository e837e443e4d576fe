#include "station/record_io.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::station::record_io {

CrtError openForAppend(const std::string& path, int& fd) {
    fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd < 0 ? lastCrtError() : CrtError{};
}

void closeFile(int fd) {
    ::close(fd);
}

CrtError fileSize(int fd, int64_t& size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return lastCrtError();
    }
    size = st.st_size;
    return {};
}

CrtError readByte(int fd, int64_t offset, char& byte) {
    return ::pread(fd, &byte, 1, offset) == 1 ? CrtError{} : lastCrtError();
}

CrtError writeSome(int fd, const char* data, size_t n, size_t& written) {
    for (;;) {
        const ssize_t result = ::write(fd, data, n);
        if (result >= 0) {
            written = static_cast<size_t>(result);
            return {};
        }
        if (errno != EINTR) {
            return lastCrtError();
        }
    }
}

CrtError flushToDisk(int fd) {
    return ::fsync(fd) == 0 ? CrtError{} : lastCrtError();
}

CrtError cutTo(int fd, int64_t size) {
    while (::ftruncate(fd, size) != 0) {
        if (errno != EINTR) {
            return lastCrtError();
        }
    }
    return {};
}

CrtError openTruncated(const std::string& path, int& fd) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd < 0 ? lastCrtError() : CrtError{};
}

CrtError renameOver(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) != 0 ? lastCrtError() : CrtError{};
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "station";
    }
    return name;
}

bool stillNamed(std::FILE* file, const std::string& path) {
    struct stat open {};
    struct stat named {};
    if (::fstat(fileno(file), &open) != 0 || ::stat(path.c_str(), &named) != 0) {
        return true;
    }
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace kestrune::station::record_io
