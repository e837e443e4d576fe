#include "station/record.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace kestrune::station {
namespace {

int writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const unsigned chunk = n > 1u << 30 ? 1u << 30 : static_cast<unsigned>(n);
        const int written = _write(fd, data, chunk);
        if (written < 0) {
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
        _close(fd_);
    }
}

int RecordFile::open(const std::string& path) {
    fd_ = _open(path.c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd_ < 0) {
        return errno;
    }
    const __int64 size = _lseeki64(fd_, 0, SEEK_END);
    if (size < 0) {
        return errno;
    }
    if (size > 0) {
        char last = '\n';
        if (_lseeki64(fd_, size - 1, SEEK_SET) < 0 || _read(fd_, &last, 1) != 1) {
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
    const __int64 size = _lseeki64(fd_, 0, SEEK_END);
    if (size < 0) {
        return errno;
    }
    int error = writeAll(fd_, line.data(), line.size());
    if (error == 0 && _commit(fd_) != 0) {
        error = errno;
    }
    if (error != 0) {
        // Whatever part of the line reached the file goes again.
        _chsize_s(fd_, size);
    }
    return error;
}

} // namespace kestrune::station
