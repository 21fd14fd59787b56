// Counts heap allocations made by the calling thread, through replaced global operator new
// (the bridge library's allocations resolve to these as well).
#pragma once

#include <cstddef>

namespace bridgetest {

size_t threadAllocations();

}  // namespace bridgetest
