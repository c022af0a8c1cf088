#pragma once

#include <functional>
#include <optional>

#include "SimulatedPlatform/Runtime/Foreign/Exception.hpp"

namespace tavrel {

// Runs `body` and returns the framework exception it raised, or nothing when it finished.
// Only foreign::Exception is caught; anything else passes through untouched.
std::optional<foreign::Exception> tavrelGuard(const std::function<void()>& body);

}  // namespace tavrel

extern "C" {
// The same guard under an unmangled name, for callers that look it up by name. Returns true
// and fills `name`/`reason` (malloc'ed, caller frees) when the body raised.
bool TavrelGuard(void (*body)(void* context), void* context, char** name, char** reason);
}
