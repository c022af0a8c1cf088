#pragma once

namespace tavrel {

/// The helper's own version, reported by `version` and in the hello.
inline constexpr const char* helperVersion = "2.0.1";

}  // namespace tavrel
