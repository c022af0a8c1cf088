#pragma once

#include <cstdlib>

#include "HelperPlatform/Server/FreedMemory.hpp"

namespace tavrel::benchmarks {

/// The helper serves with the allocator settings `serve` makes, so these figures are measured
/// with them too; TAVREL_BENCHMARK_GLIBC_DEFAULTS=1 keeps glibc's own, to see what they cost.
inline const bool servingAllocator = [] {
    if (std::getenv("TAVREL_BENCHMARK_GLIBC_DEFAULTS") == nullptr) FreedMemory::giveBackAsFreed();
    return true;
}();

}  // namespace tavrel::benchmarks
