#pragma once

#include <string>
#include <string_view>

namespace tavrel {

/// Names the calling thread for debuggers and /proc (the kernel keeps the first 15 bytes).
/// Best effort: a platform without thread names ignores it.
void setCurrentThreadName(std::string_view name);

/// The calling thread's name, or "" where the platform has none.
std::string currentThreadName();

}  // namespace tavrel
