#pragma once

// Every record line sent on, in order, to the factory's system (an MES, a traceability
// database): an HTTP POST of the line's JSON with its attemptId as the Idempotency-Key. The
// record itself is the outbox; a cursor file beside it keeps how far the receiver has
// acknowledged, so that a restart, a crash or kill -9 resumes there. A line is delivered at
// least once; a duplicate only ever repeats an attemptId already sent. Delivery runs on a
// thread of its own: a receiver that is down, slow or refusing never holds a port.

#include "common/system_error.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kestrune::station {

// http://HOST[:PORT][/PATH]: "" when it reads, else what is wrong.
struct ForwardTarget {
    std::string host;
    int port = 80;
    std::string path = "/";
};
std::string parseForwardUrl(const std::string& url, ForwardTarget& target);

// How long to wait after a failed delivery: 1 s, doubling to 60 s; back to 1 s after a success.
class Backoff {
public:
    static constexpr uint32_t FIRST_MS = 1000;
    static constexpr uint32_t MOST_MS = 60000;
    uint32_t failed();
    void succeeded() { next_ = FIRST_MS; }

private:
    uint32_t next_ = FIRST_MS;
};

// How far the receiver has acknowledged: the byte offset in the record of the first line not
// yet delivered, and the lines before it.
struct ForwardCursor {
    uint64_t offset = 0;
    uint64_t lines = 0;
    bool operator==(const ForwardCursor&) const = default;
};
std::string formatCursor(const ForwardCursor& cursor);
// False when `text` is not a cursor file (then delivery starts at the record's beginning).
bool parseCursor(std::string_view text, ForwardCursor& cursor);

// The receiver's answer to one POST.
struct PostAnswer {
    int status = 0;   // the HTTP status; 0 when there was none
    std::string kind; // without a status: "connect", "timeout" or "closed"
    std::string body; // the start of the answer's body
};

class Poster {
public:
    virtual ~Poster() = default;
    virtual PostAnswer post(const std::string& json, const std::string& idempotencyKey) = 0;
};

// The platform's HTTP client (cpp-httplib's, WinHTTP), with `timeoutMs` for the connection and for
// each read and write.
std::unique_ptr<Poster> httpPoster(const ForwardTarget& target, uint32_t timeoutMs);

// The forwarder's clock: the unit tests give it a virtual one.
class ForwardClock {
public:
    virtual ~ForwardClock() = default;
    virtual int64_t nowMs() = 0; // milliseconds since 1970
};
ForwardClock& systemForwardClock();

// What the table, the page, /api/station and /metrics show of the delivery.
struct ForwardState {
    std::string name; // "MES"
    uint64_t pending = 0;
    uint64_t delivered = 0; // lines acknowledged since the start
    uint64_t refused = 0;   // lines set aside in the dead-letter file since the start
    uint64_t longestBacklog = 0;
    std::string lastError; // "503", "timeout", ... ("" before the first)
    int64_t lastErrorMs = 0;
    std::map<std::string, uint64_t> errors; // by kind: connect, timeout, closed, status, refused
};

// "MES: 12 lines behind, last error 503 at 10:42"; "MES: up to date".
std::string describeForward(const ForwardState& state);

class Forwarder {
public:
    // `record` is the record file; the cursor and the dead-letter file lie beside it.
    Forwarder(std::string record, std::string name, Poster& poster,
              ForwardClock& clock = systemForwardClock());
    ~Forwarder();
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    // Reads the cursor (none, or a broken one: from the start); "" or why it cannot start.
    std::string open();

    // One step: sends the next whole line, if there is one. The milliseconds to wait before
    // the next step (0: go on at once).
    uint32_t step();

    // The thread: steps until stop().
    void start();
    // Waits until the backlog is delivered or `seconds` pass, or `cut` says to give up; true
    // when it was delivered.
    bool drain(double seconds, const std::function<bool()>& cut);
    void stop();

    ForwardState state() const;
    static std::string cursorPath(const std::string& record) { return record + ".cursor"; }
    static std::string deadLetterPath(const std::string& record) { return record + ".dead"; }

private:
    void countLines();
    bool nextLine(std::string& line);
    CrtError advance(uint64_t bytes);
    void failedWith(const std::string& kind, const std::string& error);

    const std::string record_;
    Poster& poster_;
    ForwardClock& clock_;
    Backoff backoff_;
    ForwardCursor cursor_;
    // The record the cursor is in, kept open: when logrotate renames it, what is left of it is
    // still read to its end before the new file under the name is taken from its start.
    std::FILE* file_ = nullptr;
    bool followRename();
    uint64_t scanned_ = 0;    // bytes of the record counted into total_
    uint64_t totalLines_ = 0; // whole lines in the record so far

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    ForwardState state_;
    bool stopping_ = false;
    bool idle_ = false; // the last step found no whole line to send
    std::thread thread_;
};

} // namespace kestrune::station
