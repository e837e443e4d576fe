#pragma once

// A download's Test Log in a file (the window's log text): each piece reaches the file when the
// session writes it, so that a run killed in the middle of a download leaves the log up to that
// moment, and the first failed write (a full disk) is kept to be reported once the download is
// over.

#include "common/system_error.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace kestrune::capture {

class TestLogFile {
public:
    TestLogFile() = default;
    ~TestLogFile();
    TestLogFile(const TestLogFile&) = delete;
    TestLogFile& operator=(const TestLogFile&) = delete;

    // Makes sure `path` can be written without changing it yet: an existing file keeps its
    // bytes until start(), and a file made here is removed again if start() never comes (a run
    // in which no box woke up).
    CrtError prepare(const std::string& path);
    // Empties the prepared file for this download's log.
    void start();
    // Creates (or replaces) `path` and starts at once.
    CrtError create(const std::string& path);
    // Creates a file no other has the name of (capture/new_file.h), STEM + extension or
    // STEM-2 + extension..., and starts at once; path() is its name.
    CrtError createNew(const std::string& stem, const char* extension);

    // Called on the session thread.
    void write(const char* text);
    // Closes the file; the first error of a write or of the close.
    CrtError close();
    CrtError error() const { return CrtError{error_.load()}; }
    bool isOpen() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }

private:
    void fail();

    std::string path_;
    FILE* file_ = nullptr;
    bool created_ = false;
    bool started_ = false;
    std::atomic<int> error_{0}; // a CrtError's code
};

} // namespace kestrune::capture
