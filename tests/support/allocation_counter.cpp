#include "tests/support/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
std::atomic<int> counted{0};
} // namespace

namespace kestrune::test {

void countAllocations(bool on) {
    if (on) {
        counted = 0;
    }
    counting = on;
}

int allocationsCounted() {
    return counted.load();
}

} // namespace kestrune::test

void* operator new(std::size_t size) {
    if (counting) {
        ++counted;
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
