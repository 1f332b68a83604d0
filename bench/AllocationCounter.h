#pragma once
// Counts calls of the global operator new in this process (the replacement is
// in AllocationCounter.cpp; linking it in is what turns counting on).
#include <cstdint>

namespace bench {
uint64_t allocationCount();
}
