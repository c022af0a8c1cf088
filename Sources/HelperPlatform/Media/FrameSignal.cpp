#include "HelperPlatform/Media/FrameSignal.hpp"

#include <cmath>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

namespace tavrel {

ObserverID ObserverID::random() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    ObserverID id{generator(), generator()};
    id.high = (id.high & ~0xF000ULL) | 0x4000ULL;                       // version 4
    id.low = (id.low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // RFC 4122 variant
    return id;
}

std::string ObserverID::text() const {
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

FrameSignal::FrameSignal(std::string label) : queue_(std::move(label)) {}

FrameSignal::~FrameSignal() {
    queue_.stop();
}

void FrameSignal::async(PixelSource::Callback body) {
    queue_.async(std::move(body));
}

void FrameSignal::asyncAfter(double seconds, PixelSource::Callback body) {
    const double delay = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
    queue_.asyncAfter(std::chrono::duration_cast<SerialQueue::Clock::duration>(
                          std::chrono::duration<double>(delay)),
                      std::move(body));
}

namespace {
// The callback this thread runs, if any, so that it may forget itself (or all) without waiting
// for itself.
struct RunningCall {
    const FrameSignal* signal = nullptr;
    ObserverID id;
};
thread_local RunningCall runningCall;
}  // namespace

ObserverID FrameSignal::observe(PixelSource::Callback callback) {
    const auto id = ObserverID::random();
    std::lock_guard lock(lock_);
    observers_.emplace(id, std::move(callback));
    return id;
}

template <class Matches>
void FrameSignal::waitForCalls(std::unique_lock<std::mutex>& lock, Matches matches) {
    const bool own = runningCall.signal == this;
    callEnded_.wait(lock, [&] {
        for (const auto& id : calling_) {
            if (matches(id) && !(own && id == runningCall.id)) return false;
        }
        return true;
    });
}

void FrameSignal::forget(ObserverID id) {
    PixelSource::Callback removed;  // destroyed outside the lock
    std::unique_lock lock(lock_);
    if (auto found = observers_.find(id); found != observers_.end()) {
        removed = std::move(found->second);
        observers_.erase(found);
    }
    // Also when `forgetAll` got there first: its call may still be under way.
    waitForCalls(lock, [&](const ObserverID& calling) { return calling == id; });
}

void FrameSignal::notify() {
    std::vector<std::pair<ObserverID, PixelSource::Callback>> callbacks;
    {
        std::lock_guard lock(lock_);
        callbacks.reserve(observers_.size());
        for (const auto& [id, callback] : observers_) callbacks.emplace_back(id, callback);
    }
    for (const auto& [id, callback] : callbacks) {
        {
            std::lock_guard lock(lock_);
            if (!observers_.contains(id)) continue;  // forgotten during this pass
            calling_.insert(id);
        }
        // Ends the call however the callback leaves, so that no `forget` waits for ever.
        struct Call {
            FrameSignal& signal;
            ObserverID id;
            RunningCall outer = std::exchange(runningCall, RunningCall{&signal, id});
            ~Call() {
                runningCall = outer;
                {
                    std::lock_guard lock(signal.lock_);
                    signal.calling_.erase(signal.calling_.find(id));
                }
                signal.callEnded_.notify_all();
            }
        } call{*this, id};
        callback();
    }
}

void FrameSignal::forgetAll() {
    std::map<ObserverID, PixelSource::Callback> removed;
    std::unique_lock lock(lock_);
    removed.swap(observers_);
    waitForCalls(lock, [](const ObserverID&) { return true; });
}

std::size_t FrameSignal::observerCount() const {
    std::lock_guard lock(lock_);
    return observers_.size();
}

}  // namespace tavrel
