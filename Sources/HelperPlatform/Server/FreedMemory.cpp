#include "HelperPlatform/Server/FreedMemory.hpp"

#include <malloc.h>

namespace tavrel::FreedMemory {

void giveBackAsFreed() {
    // Setting either threshold ends glibc's raising of both.
    ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(ownMappingFrom));
    ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(keptAtTop));
    // Every small free merges with its free neighbours at once (the per-thread caches still
    // serve the quick reuse), so the freed top of an arena grows past the trim threshold.
    ::mallopt(M_MXFAST, 0);
}

void giveBack() {
    ::malloc_trim(0);
}

}  // namespace tavrel::FreedMemory
