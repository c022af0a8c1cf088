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
// The observer whose callback this thread is running, so that it may forget itself.
thread_local const void* runningObserver = nullptr;
}  // namespace

ObserverID FrameSignal::observe(PixelSource::Callback callback) {
    const auto id = ObserverID::random();
    auto observer = std::make_shared<Observer>();
    observer->callback = std::move(callback);
    std::lock_guard lock(lock_);
    observers_.emplace(id, std::move(observer));
    return id;
}

void FrameSignal::forget(ObserverID id) {
    std::shared_ptr<Observer> removed;  // the callback dies outside the lock
    std::unique_lock lock(lock_);
    const auto found = observers_.find(id);
    if (found == observers_.end()) return;
    removed = std::move(found->second);
    observers_.erase(found);
    removed->forgotten = true;
    if (runningObserver == removed.get()) return;
    finishedCall_.wait(lock, [&] { return removed->running == 0; });
}

void FrameSignal::notify() {
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(lock_);
        observers.reserve(observers_.size());
        for (const auto& [id, observer] : observers_) observers.push_back(observer);
    }
    for (const auto& observer : observers) {
        {
            std::lock_guard lock(lock_);
            if (observer->forgotten) continue;
            ++observer->running;
        }
        // Ends the call however the callback leaves, so that no `forget` waits for ever.
        struct Call {
            FrameSignal& signal;
            Observer& observer;
            const void* outer = std::exchange(runningObserver, &observer);
            ~Call() {
                runningObserver = outer;
                bool waitedFor;
                {
                    std::lock_guard lock(signal.lock_);
                    waitedFor = --observer.running == 0 && observer.forgotten;
                }
                if (waitedFor) signal.finishedCall_.notify_all();
            }
        } call{*this, *observer};
        observer->callback();
    }
}

void FrameSignal::forgetAll() {
    std::map<ObserverID, std::shared_ptr<Observer>> removed;
    std::lock_guard lock(lock_);
    for (auto& [id, observer] : observers_) observer->forgotten = true;
    removed.swap(observers_);
}

std::size_t FrameSignal::observerCount() const {
    std::lock_guard lock(lock_);
    return observers_.size();
}

}  // namespace tavrel
