#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Concurrency/SerialQueue.hpp"
#include "HelperPlatform/Media/PixelSource.hpp"

namespace tavrel {

/// What every pixel source shares: its serial queue (labelled "tavrel.framebuffer",
/// "tavrel.capture", ...) and its list of picture observers.
///
/// Threads: all members may be called from any thread. The observer map is guarded by one mutex
/// that is never held while a callback runs, so a callback may observe or forget; one registered
/// during a notification is first called on the next picture. Once `forget` returns, its
/// callback is not running and will not run again (forgetting itself from within, it returns at
/// once), so a callback may capture an observer that forgets it before it goes.
class FrameSignal {
  public:
    explicit FrameSignal(std::string label);
    ~FrameSignal();
    FrameSignal(const FrameSignal&) = delete;
    FrameSignal& operator=(const FrameSignal&) = delete;

    SerialQueue& queue() { return queue_; }

    void async(PixelSource::Callback body);
    void asyncAfter(double seconds, PixelSource::Callback body);

    ObserverID observe(PixelSource::Callback callback);
    void forget(ObserverID id);
    /// Calls every observer registered now, in turn, on the calling thread (the source calls it
    /// from its queue when a new picture has arrived).
    void notify();
    /// Forgets every observer (the source is closing); returns, as `forget` does, once none of
    /// their callbacks runs.
    void forgetAll();
    std::size_t observerCount() const;

    /// Calls `get` until it yields a value, 20 ms apart, until `seconds` have passed on the wall
    /// clock; then throws `otherwise`. `get` is tried at least once.
    template <class T>
    static T waiting(double seconds, const std::function<std::optional<T>()>& get,
                     const HelperFailure& otherwise);

  private:
    // Waits until no thread but this one runs a callback that `matches`.
    template <class Matches>
    void waitForCalls(std::unique_lock<std::mutex>& lock, Matches matches);

    mutable std::mutex lock_;
    std::condition_variable callEnded_;
    std::map<ObserverID, PixelSource::Callback> observers_;
    // The observers whose callbacks run now, once per call under way (on any thread).
    std::multiset<ObserverID> calling_;
    // Last, so that it ends (running the work already due) while the observers still exist.
    SerialQueue queue_;
};

template <class T>
T FrameSignal::waiting(double seconds, const std::function<std::optional<T>()>& get,
                       const HelperFailure& otherwise) {
    using Clock = std::chrono::system_clock;
    const auto start = Clock::now();
    const auto wait = std::chrono::duration<double>(seconds > 0 ? seconds : 0);
    for (;;) {
        if (auto value = get()) return std::move(*value);
        if (Clock::now() - start >= wait) throw otherwise;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace tavrel
