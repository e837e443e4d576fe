#pragma once

#include <cstdint>

namespace kestrune {

// The link's fixed pauses (100 ms before a payload and before each block) go through
// this, so tests can run them in virtual time.
class Pauser {
public:
    virtual ~Pauser() = default;
    virtual void pause(uint32_t ms) = 0;
};

// Sleeps for real (Sleep on Windows, nanosleep elsewhere).
class SystemPauser final : public Pauser {
public:
    void pause(uint32_t ms) override;
};

} // namespace kestrune
