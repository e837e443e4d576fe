#pragma once

#include <cstdint>

namespace kestrune {

enum class FrameDirection : uint8_t {
    ToBox,   // a frame the server sent and the box acknowledged with 3
    FromBox, // a frame the server received with a matching CRC-32
};

// Watches every frame the link accepts, in either direction (a capture file, a trace). Called
// on the session thread from inside the frame operations, so it must not allocate, block or
// take a lock the front end needs after an abort. The payload is valid only during the call.
class FrameTap {
public:
    virtual ~FrameTap() = default;
    virtual void onFrame(FrameDirection direction, const uint8_t* payload, uint32_t length) = 0;
};

} // namespace kestrune
