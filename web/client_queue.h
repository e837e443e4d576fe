#pragma once

// The messages waiting for one client of /events. The station's side only ever appends under a
// short lock and never waits: when the client has fallen `capacity` messages behind (it does not
// read, or reads too slowly) the queue is dropped, and the web server ends the client's
// connection. The messages are shared by every client: a queue holds pointers, not copies.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace kestrune::web {

using Message = std::shared_ptr<const std::string>;

class ClientQueue {
public:
    explicit ClientQueue(size_t capacity) : capacity_(capacity) {}

    // Appends a message; false when the client had fallen behind and is dropped (then and
    // after). Never waits for the client.
    bool push(Message message);

    enum class Next { Message, Timeout, Ended };
    // The next message, waiting up to `wait` for one; Ended once the queue was dropped or closed.
    Next pop(Message& out, std::chrono::milliseconds wait);

    // The station's end: the client's thread stops waiting.
    void close();
    bool dropped() const;

private:
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Message> messages_;
    bool dropped_ = false;
    bool closed_ = false;
};

} // namespace kestrune::web
