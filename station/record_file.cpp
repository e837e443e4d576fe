// RecordFile over the few calls of record_io.h: the same rules on every platform.
#include "station/record.h"
#include "station/record_io.h"

#include <cerrno>

namespace kestrune::station {
namespace {

// Writes all of `n` bytes at the end.
CrtError writeAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        size_t written = 0;
        if (const CrtError error = record_io::writeSome(fd, data, n, written)) {
            return error;
        }
        if (written == 0) {
            return CrtError{EIO};
        }
        data += written;
        n -= written;
    }
    return {};
}

} // namespace

CrtError record_io::replaceFile(const std::string& path, const std::string& content) {
    const std::string fresh = path + ".new";
    int fd = -1;
    if (const CrtError error = openTruncated(fresh, fd)) {
        return error;
    }
    CrtError error = writeAll(fd, content.data(), content.size());
    if (!error) {
        error = flushToDisk(fd);
    }
    closeFile(fd);
    return error ? error : renameOver(fresh, path);
}

RecordFile::~RecordFile() {
    if (fd_ >= 0) {
        record_io::closeFile(fd_);
    }
}

CrtError RecordFile::open(const std::string& path) {
    if (const CrtError error = record_io::openForAppend(path, fd_)) {
        return error;
    }
    int64_t size = 0;
    if (const CrtError error = record_io::fileSize(fd_, size)) {
        return error;
    }
    if (size > 0) {
        char last = '\n';
        if (const CrtError error = record_io::readByte(fd_, size - 1, last)) {
            return error;
        }
        if (last != '\n') {
            // A line torn by a crash stays as it is, but ends here: readers skip it, and the
            // next line stands alone.
            return append("\n");
        }
    }
    return {};
}

CrtError RecordFile::reopen(const std::string& path) {
    RecordFile next;
    if (const CrtError error = next.open(path)) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(fd_, next.fd_);
    return {};
}

CrtError RecordFile::append(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t size = 0;
    if (const CrtError error = record_io::fileSize(fd_, size)) {
        return error;
    }
    CrtError error = writeAll(fd_, line.data(), line.size());
    if (!error) {
        error = record_io::flushToDisk(fd_);
    }
    if (error && record_io::cutTo(fd_, size)) {
        // What reached the file cannot go again: it ends here instead, a torn line that
        // readers skip, so that the next line stands alone.
        writeAll(fd_, "\n", 1);
    }
    return error;
}

} // namespace kestrune::station
