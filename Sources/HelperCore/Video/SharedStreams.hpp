#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Concurrency/AsyncStream.hpp"
#include "HelperCore/Video/EncoderPlan.hpp"
#include "HelperCore/Video/SharedStream.hpp"

namespace tavrel {

/// The shared streams of one picture source, one per encoder plan: a stream request with the
/// plan of a running one subscribes to it; any other opens an encoder of its own. Holds them
/// weakly (their subscribers own them), so there are never more of them than subscribers.
///
/// Threads: `subscribe` from any thread, also at once; opening an encoder happens outside the
/// lock, and requests for the same plan meanwhile wait for that one encoder.
class SharedStreams {
  public:
    explicit SharedStreams(SharedStream::Limits limits = {}) : limits_(limits) {}

    /// What makes two streams the same pictures: the plan and whether a still screen gets idle
    /// key frames.
    struct Key {
        EncoderPlan plan;
        bool idleKeyFrames = false;
        bool operator==(const Key&) const = default;
    };

    /// A subscriber's stream of the shared stream for `key`, opening it with `open` when none
    /// runs. Throws what opening throws.
    AsyncStream<Bytes> subscribe(const Key& key, const SharedStream::Open& open);
    AsyncStream<Bytes> subscribe(const EncoderPlan& plan, const SharedStream::Open& open) {
        return subscribe(Key{plan}, open);
    }

    /// Shared streams with subscribers (running or being opened).
    std::size_t running() const;

  private:
    // Forgets streams that are gone; with the lock held.
    void prune();

    const SharedStream::Limits limits_;
    mutable std::mutex mutex_;
    std::vector<std::pair<Key, std::weak_ptr<SharedStream>>> streams_;
};

}  // namespace tavrel
