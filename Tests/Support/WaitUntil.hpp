#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace tavrel::testing {

/// The longest any test waits for something another thread or process does. Generous: CI runs
/// the suite, sanitizers included, on two loaded cores; a test that passes waits far less.
inline constexpr std::chrono::seconds patience{20};

/// Checks `condition` until it holds or `timeout` has passed; returns whether it held (checked
/// once more at the deadline). For a test that would otherwise sleep and hope that something
/// has happened. The checks start 2 ms apart and spread out to 50 ms, so that a condition that
/// asks another process (a client run, a request) does not load the cores it waits on.
template <class Condition>
bool waitUntil(Condition&& condition, std::chrono::steady_clock::duration timeout = patience) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::chrono::milliseconds interval(2);
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        // The poll interval of this loop, not a wait for the event itself.
        std::this_thread::sleep_for(interval);
        interval = std::min(interval * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace tavrel::testing
