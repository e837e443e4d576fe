#include "station/record_io.h"

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace kestrune::station::record_io {

CrtError openForAppend(const std::string& path, int& fd) {
    fd = _open(path.c_str(), _O_RDWR | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
    return fd < 0 ? lastCrtError() : CrtError{};
}

void closeFile(int fd) {
    _close(fd);
}

CrtError fileSize(int fd, int64_t& size) {
    const __int64 end = _lseeki64(fd, 0, SEEK_END);
    if (end < 0) {
        return lastCrtError();
    }
    size = end;
    return {};
}

CrtError readByte(int fd, int64_t offset, char& byte) {
    if (_lseeki64(fd, offset, SEEK_SET) < 0 || _read(fd, &byte, 1) != 1) {
        return lastCrtError();
    }
    return {};
}

CrtError writeSome(int fd, const char* data, size_t n, size_t& written) {
    // _write takes an unsigned count: a gigabyte at a time.
    const unsigned chunk = n > 1u << 30 ? 1u << 30 : static_cast<unsigned>(n);
    const int result = _write(fd, data, chunk);
    if (result < 0) {
        return lastCrtError();
    }
    written = static_cast<size_t>(result);
    return {};
}

CrtError flushToDisk(int fd) {
    return _commit(fd) == 0 ? CrtError{} : lastCrtError();
}

CrtError cutTo(int fd, int64_t size) {
    const errno_t error = _chsize_s(fd, size);
    return CrtError{error};
}

CrtError openTruncated(const std::string& path, int& fd) {
    fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
    return fd < 0 ? lastCrtError() : CrtError{};
}

// Windows renames over a file that exists only when told to.
CrtError renameOver(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? CrtError{}
               : CrtError{EACCES};
}

std::string hostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size) || name[0] == '\0') {
        return "station";
    }
    return name;
}

// Windows renames no file that is open (the record's is), so the name never moves away from it.
bool stillNamed(std::FILE*, const std::string&) {
    return true;
}

} // namespace kestrune::station::record_io
