#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "HelperCore/Concurrency/AsyncStream.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel::testing {

/// The stream's next value within the test's patience, or nothing; the stream stays open.
template <typename Value>
std::optional<Value> nextWithinPatience(const AsyncStream<Value>& stream) {
    std::stop_source stop;
    std::jthread deadline([&](std::stop_token token) {
        std::mutex mutex;
        std::condition_variable_any sleeper;
        std::unique_lock lock(mutex);
        sleeper.wait_for(lock, token, patience, [] { return false; });
        stop.request_stop();
    });
    return stream.next(stop.get_token());
}

}  // namespace tavrel::testing
