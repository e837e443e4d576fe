#include "image/mapped_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

bool MappedFile::open(const char* path, MapError& error, int& systemError) {
    close();
    error = MapError::None;
    systemError = 0;

    // Non-blocking, so that naming a FIFO fails at once instead of waiting for a writer; it has
    // no effect on a regular file.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = MapError::Open;
        systemError = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = MapError::Size;
        systemError = errno;
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        // A directory or a device has no size worth mapping.
        error = MapError::Open;
        systemError = S_ISDIR(st.st_mode) ? EISDIR : NOT_A_REGULAR_FILE;
        ::close(fd);
        return false;
    }
    // The size travels as an unsigned 32-bit value (imageSize); 0xFFFFFFFF is the invalid marker.
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) >= 0xFFFFFFFFu) {
        error = MapError::Size;
        systemError = EFBIG;
        ::close(fd);
        return false;
    }
    const auto size = static_cast<uint32_t>(st.st_size);
    if (size == 0) {
        // An empty file cannot be mapped.
        error = MapError::Empty;
        systemError = EINVAL;
        ::close(fd);
        return false;
    }
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (view == MAP_FAILED) {
        error = MapError::Map;
        systemError = errno;
        ::close(fd);
        return false;
    }
    file_ = fd;
    mapping_ = nullptr;
    view_ = static_cast<const uint8_t*>(view);
    size_ = size;
    return true;
}

void MappedFile::close() {
    if (view_ != nullptr) {
        ::munmap(const_cast<uint8_t*>(view_), size_);
    }
    if (file_ >= 0) {
        ::close(static_cast<int>(file_));
    }
    file_ = -1;
    mapping_ = nullptr;
    view_ = nullptr;
    size_ = 0;
}

std::string describeSystemError(int systemError) {
    if (systemError == NOT_A_REGULAR_FILE) {
        return "not a regular file";
    }
    return std::strerror(systemError);
}

} // namespace kestrune
