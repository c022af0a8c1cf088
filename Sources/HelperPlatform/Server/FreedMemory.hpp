#pragma once

#include <cstddef>

namespace tavrel::FreedMemory {

/// Blocks of at least this many bytes get a mapping of their own, unmapped when freed.
inline constexpr std::size_t ownMappingFrom = std::size_t{1} << 20;
/// Free room above this at the top of an allocator arena goes back to the system at once.
inline constexpr std::size_t keptAtTop = std::size_t{1} << 20;

/// Makes freed memory go back to the system as it is freed, whichever thread allocated or freed
/// it, so that what a huge request cost is returned every time. glibc otherwise raises its
/// mapping and trim thresholds after the first large free (up to 32 and 64 MiB): later large
/// blocks then land in a thread's arena, whose free top no trim reaches, and the small blocks of
/// a large parse tree wait unmerged in fast bins, which a trim merges into that same top. For
/// the whole process; call once, before the threads start.
void giveBackAsFreed();

/// Hands the free pages inside every arena back to the system, below blocks still in use.
void giveBack();

}  // namespace tavrel::FreedMemory
