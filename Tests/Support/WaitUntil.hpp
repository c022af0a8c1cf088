#pragma once

#include <chrono>
#include <thread>

namespace tavrel::testing {

/// The longest any test waits for something another thread or process does. Generous: CI runs
/// the suite, sanitizers included, on two loaded cores; a test that passes waits far less.
inline constexpr std::chrono::seconds patience{20};

/// Checks `condition` every few milliseconds until it holds or `timeout` has passed; returns
/// whether it held (checked once more at the deadline). For a test that would otherwise sleep
/// and hope that something has happened.
template <class Condition>
bool waitUntil(Condition&& condition, std::chrono::steady_clock::duration timeout = patience) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        // The poll interval of this loop, not a wait for the event itself.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace tavrel::testing
