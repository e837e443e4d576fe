#pragma once

// The station's record: one JSON object per line (JSON Lines) for every download attempt,
// appended with one write and flushed to disk before the port serves its next box, so that a
// station killed at any moment leaves whole lines, at most a torn last one.

#include "station/attempt_runner.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace kestrune::station {

// "2026-12-07T19:44:17.123Z"
std::string isoTime(std::chrono::system_clock::time_point when);
// "20261207T194417Z": for file names.
std::string fileTime(std::chrono::system_clock::time_point when);
// A JSON string literal, quotes included.
std::string jsonString(const std::string& text);
// "complete", "download error", "not responding", "port failure", "aborted".
const char* outcomeName(Outcome outcome);

struct ImageFacts {
    std::string path;
    uint32_t size = 0;
    std::string sha256;
};

// The record line of one attempt, newline included. `testLog` and `capture` are the files
// written for it ("" for none).
std::string recordLine(const AttemptReport& report, const std::string& port,
                       const ImageFacts& image, const std::string& testLog,
                       const std::string& capture);

class RecordFile {
public:
    RecordFile() = default;
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    // Opens `path` for appending (created when missing). False, with errno set, when it cannot.
    bool open(const std::string& path);
    // One write of the whole line, then a flush to disk. Safe from several threads.
    bool append(const std::string& line);

private:
    int fd_ = -1;
};

} // namespace kestrune::station
