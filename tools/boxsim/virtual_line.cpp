#include "tools/boxsim/virtual_line.h"

#include <algorithm>

namespace boxsim {

void VirtualWire::send(uint64_t nowUs, const uint8_t* bytes, size_t n) {
    uint64_t at = std::max(nowUs, freeAtUs_);
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        const Fault fault = noise_.next();
        switch (fault.kind) {
        case Fault::None:
            break;
        case Fault::Flip:
            b = static_cast<uint8_t>(b ^ fault.flipMask());
            note(at, "bit flip");
            break;
        case Fault::Drop:
            at += byteUs_;
            note(at, "byte lost");
            ++faults_;
            continue;
        case Fault::Double:
            at += byteUs_;
            queue.push_back({at, b});
            note(at, "byte doubled");
            break;
        case Fault::Junk:
            for (uint32_t j = 0; j < fault.junkCount(); ++j) {
                at += byteUs_;
                queue.push_back({at, fault.junk(j)});
            }
            note(at, "junk inserted");
            break;
        case Fault::Silence:
            at += fault.silenceUs();
            note(at, "silence");
            break;
        }
        faults_ += fault.kind != Fault::None;
        at += byteUs_;
        queue.push_back({at, b});
    }
    freeAtUs_ = at;
}

bool VirtualLine::begin(LineWait& wait) {
    if (!wait.pause) {
        // What has arrived already.
        while (wait.got < wait.n && !toBox_.queue.empty() && toBox_.queue.front().atUs <= nowUs_) {
            wait.into()[wait.got++] = toBox_.queue.front().value;
            toBox_.queue.pop_front();
            ++bytesIn;
        }
        if (wait.got == wait.n) {
            return true;
        }
    }
    if (wait.timeout <= 0) {
        return true;
    }
    deadlineUs_ = nowUs_ + micros(wait.timeout);
    return false;
}

uint64_t VirtualLine::nextEventUs() const {
    if (wait_ == nullptr) {
        return NEVER;
    }
    if (!wait_->pause && !toBox_.queue.empty() && toBox_.queue.front().atUs <= deadlineUs_) {
        return std::max(toBox_.queue.front().atUs, nowUs_);
    }
    return deadlineUs_;
}

void VirtualLine::runUntil(uint64_t us) {
    for (uint64_t t; wait_ != nullptr && (t = nextEventUs()) <= us;) {
        ++events;
        nowUs_ = std::max(nowUs_, t);
        LineWait& wait = *wait_;
        if (!wait.pause && !toBox_.queue.empty() && toBox_.queue.front().atUs <= deadlineUs_) {
            // Every byte due by `us` that the wait still takes; the time-out starts again with
            // each, as on a real line.
            const uint64_t timeoutUs = micros(wait.timeout);
            uint8_t* into = wait.into();
            do {
                const Arrival a = toBox_.queue.front();
                toBox_.queue.pop_front();
                nowUs_ = std::max(nowUs_, a.atUs);
                into[wait.got++] = a.value;
                ++bytesIn;
                deadlineUs_ = nowUs_ + timeoutUs;
            } while (wait.got < wait.n && !toBox_.queue.empty() &&
                     toBox_.queue.front().atUs <= std::min(us, deadlineUs_));
            if (wait.got < wait.n) {
                continue;
            }
        }
        // The box goes on until its next wait (which may park again) or its end.
        wait_ = nullptr;
        wait.waiter.resume();
    }
}

} // namespace boxsim
