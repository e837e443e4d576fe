#pragma once

// The virtual clock of the tests' fake ports and boxes, and the pauser that advances it: a
// pause costs no real time.

#include "link/pause.h"

#include <cstdint>
#include <vector>

namespace kestrune::test {

struct VirtualClock {
    uint64_t nowMs = 0;
};

class VirtualPauser final : public Pauser {
public:
    explicit VirtualPauser(VirtualClock& clock) : now_(clock.nowMs) {}
    explicit VirtualPauser(uint64_t& nowMs) : now_(nowMs) {}
    void pause(uint32_t ms) override {
        now_ += ms;
        pauses.push_back(ms);
    }
    std::vector<uint32_t> pauses;

private:
    uint64_t& now_;
};

} // namespace kestrune::test
