#include "HelperCore/Concurrency/RepeatingTimer.hpp"

#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace tavrel {

struct RepeatingTimer::State : std::enable_shared_from_this<State> {
    State(SerialQueue& queue, SerialQueue::Clock::duration interval, std::function<void()> handler)
        : queue(queue), interval(interval), handler(std::move(handler)) {}

    SerialQueue& queue;
    const SerialQueue::Clock::duration interval;
    std::function<void()> handler;

    std::mutex mutex;
    std::condition_variable idle;
    bool cancelled = false;
    bool firing = false;

    void schedule(SerialQueue::Clock::time_point deadline) {
        // The queued item holds the state weakly: a cancelled, destroyed timer leaves nothing.
        queue.asyncAt(deadline, [weak = weak_from_this(), deadline] {
            if (auto state = weak.lock()) state->fire(deadline);
        });
    }

    void fire(SerialQueue::Clock::time_point deadline) {
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            firing = true;
        }
        handler();
        bool again;
        {
            std::lock_guard lock(mutex);
            firing = false;
            again = !cancelled;
        }
        idle.notify_all();
        if (!again) return;
        auto next = deadline + interval;
        const auto now = SerialQueue::Clock::now();
        while (next <= now) next += interval;
        schedule(next);
    }
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, SerialQueue::Clock::duration firstDelay,
                               SerialQueue::Clock::duration interval, std::function<void()> handler)
    : state_(std::make_shared<State>(queue, interval, std::move(handler))) {
    if (interval <= SerialQueue::Clock::duration::zero()) {
        throw std::invalid_argument("a repeating timer needs an interval above zero");
    }
    state_->schedule(SerialQueue::Clock::now() + firstDelay);
}

RepeatingTimer::~RepeatingTimer() {
    cancel();
}

void RepeatingTimer::cancel() {
    std::unique_lock lock(state_->mutex);
    state_->cancelled = true;
    if (state_->queue.isCurrent()) return;
    state_->idle.wait(lock, [this] { return !state_->firing; });
}

}  // namespace tavrel
