#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::testing {

/// The names of this process's threads as the system shows them (at most 15 bytes each).
std::vector<std::string> threadNames();

/// How many of this process's threads have a name starting with `prefix`. Counting by name
/// leaves out threads a sanitizer's runtime starts whenever it likes.
std::size_t threadsNamed(std::string_view prefix);

}  // namespace tavrel::testing
