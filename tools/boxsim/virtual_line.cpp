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

} // namespace boxsim
