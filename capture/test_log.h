#pragma once

// A download's Test Log in a file (the window's log text): each piece reaches the file when the
// session writes it, so that a run killed in the middle of a download leaves the log up to that
// moment, and the first failed write (a full disk) is kept to be reported once the download is
// over.

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
    // in which no box woke up). 0 or the system's error code.
    int prepare(const std::string& path);
    // Empties the prepared file for this download's log.
    void start();
    // Creates (or replaces) `path` and starts at once. 0 or the system's error code.
    int create(const std::string& path);

    // Called on the session thread.
    void write(const char* text);
    // Closes the file; the first error of a write or of the close, 0 when none.
    int close();
    int error() const { return error_.load(); }
    bool isOpen() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }

private:
    void fail();

    std::string path_;
    FILE* file_ = nullptr;
    bool created_ = false;
    bool started_ = false;
    std::atomic<int> error_{0};
};

} // namespace kestrune::capture
