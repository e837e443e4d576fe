#pragma once

// Counts the calls of the global operator new made by a thread while it asks for them (the
// replacement lives in allocation_counter.cpp, a translation unit of its own).

namespace kestrune::test {

void countAllocations(bool on);
int allocationsCounted();

} // namespace kestrune::test
