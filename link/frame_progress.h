#pragma once

#include <cstdint>

namespace kestrune {

// Told after every frame the link sends, delivered or not: the download's progress counters.
// What they mean to an operator (a bar, a percentage) is the session's business, not the link's.
// Called on the session thread: an implementation must not allocate or take a lock.
class FrameProgress {
public:
    virtual ~FrameProgress() = default;
    virtual void frameSent(uint32_t bytesSent, uint32_t imageSize) = 0;
};

} // namespace kestrune
