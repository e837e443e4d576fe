#include "web/client_queue.h"

namespace kestrune::web {

bool ClientQueue::push(Message message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dropped_ || closed_) {
            return false;
        }
        if (messages_.size() >= capacity_) {
            dropped_ = true;
            messages_.clear();
        } else {
            messages_.push_back(std::move(message));
        }
    }
    ready_.notify_one();
    return !dropped();
}

ClientQueue::Next ClientQueue::pop(Message& out, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, wait, [&] { return dropped_ || closed_ || !messages_.empty(); });
    if (dropped_ || closed_) {
        return Next::Ended;
    }
    if (messages_.empty()) {
        return Next::Timeout;
    }
    out = std::move(messages_.front());
    messages_.pop_front();
    return Next::Message;
}

void ClientQueue::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        messages_.clear();
    }
    ready_.notify_all();
}

bool ClientQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

} // namespace kestrune::web
