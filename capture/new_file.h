#pragma once

// A file that no other file has the name of, for the Test Logs and captures of a station: two
// ports whose names map to one file name in one second (/dev/a_b and /dev/a/b) must never share
// a file. The name is taken by the creation itself, not by a look first, so two threads (or two
// stations) creating at the same moment get two files.

#include "common/system_error.h"

#include <cstdio>
#include <string>

namespace kestrune::capture {

// Creates `path` for writing, only if no file has that name (O_EXCL; CREATE_NEW on Windows):
// the stream, or nullptr with errno set (EEXIST when a file has the name).
FILE* openNewFile(const std::string& path);

// Creates STEM + extension, or else STEM-2 + extension, STEM-3..., the first name free. The
// stream with `path` its name, or nullptr with `error` (after 1000 names taken, EEXIST).
FILE* createNewFile(const std::string& stem, const char* extension, std::string& path,
                    CrtError& error);

} // namespace kestrune::capture
