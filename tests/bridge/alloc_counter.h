// Counts heap allocations made by the calling thread, and the blocks alive in the whole process,
// through replaced global operator new and delete (the bridge library's resolve to these too).
#pragma once

#include <cstddef>

namespace bridgetest {

size_t threadAllocations();
// Blocks from operator new not yet given to operator delete, over all threads.
long liveAllocations();

}  // namespace bridgetest
