#include "station/record.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::station {
namespace {

// Writes all of `n` bytes at the end; 0 or errno.
int writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t written = ::write(fd, data, n);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return EIO;
        }
        data += written;
        n -= static_cast<size_t>(written);
    }
    return 0;
}

} // namespace

RecordFile::~RecordFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int RecordFile::open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        return errno;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        return errno;
    }
    if (st.st_size > 0) {
        char last = '\n';
        if (::pread(fd_, &last, 1, st.st_size - 1) != 1) {
            return errno != 0 ? errno : EIO;
        }
        if (last != '\n') {
            // A line torn by a crash stays as it is, but ends here: readers skip it, and the
            // next line stands alone.
            return append("\n");
        }
    }
    return 0;
}

int RecordFile::append(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        return errno;
    }
    int error = writeAll(fd_, line.data(), line.size());
    if (error == 0 && ::fsync(fd_) != 0) {
        error = errno;
    }
    if (error != 0) {
        // Whatever part of the line reached the file goes again.
        while (::ftruncate(fd_, st.st_size) != 0 && errno == EINTR) {
        }
    }
    return error;
}

} // namespace kestrune::station
