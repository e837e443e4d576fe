#pragma once

// The few system calls the record file needs, one file per platform (record_posix.cpp,
// record_win32.cpp); everything else of RecordFile is portable (record_file.cpp). Each returns
// the C runtime's errno of the call that failed, or no error.

#include "common/system_error.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrune::station::record_io {

// Opens `path` for reading and appending, created when missing.
CrtError openForAppend(const std::string& path, int& fd);
void closeFile(int fd);
CrtError fileSize(int fd, int64_t& size);
// The byte at `offset`.
CrtError readByte(int fd, int64_t offset, char& byte);
// Writes up to `n` bytes at the end (a call interrupted by a signal goes again); `written` may
// be short.
CrtError writeSome(int fd, const char* data, size_t n, size_t& written);
// To the disk, not only to the system's cache.
CrtError flushToDisk(int fd);
// Cuts the file back to `size` bytes.
CrtError cutTo(int fd, int64_t size);

// Opens `path` for writing, empty (created when missing).
CrtError openTruncated(const std::string& path, int& fd);
// Renames `from` to `to`, over a file that is there.
CrtError renameOver(const std::string& from, const std::string& to);

// Puts `content` in `path` whole or not at all: written to a new file beside it, flushed to
// disk, then renamed over it (record_file.cpp).
CrtError replaceFile(const std::string& path, const std::string& content);

// Whether the open `file` is still the one `path` names: false once it was renamed away (by
// logrotate) and another file took the name. A name with no file behind it yet counts as the
// same: the new one has not come.
bool stillNamed(std::FILE* file, const std::string& path);

// This machine's name ("station" when the system gives none).
std::string hostName();

} // namespace kestrune::station::record_io
