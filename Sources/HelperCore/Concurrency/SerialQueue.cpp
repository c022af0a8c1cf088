#include "HelperCore/Concurrency/SerialQueue.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "HelperCore/Concurrency/JobFailures.hpp"
#include "HelperCore/Concurrency/ThreadName.hpp"

namespace tavrel {

namespace {
thread_local const void* currentQueue = nullptr;
}

struct SerialQueue::State {
    State(std::string label, bool ownThread) : label(std::move(label)), ownThread(ownThread) {}

    const std::string label;
    const bool ownThread;
    std::atomic<std::thread::id> runner{};

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Work> ready;
    // Ordered by deadline, then by the order of queuing.
    std::map<std::pair<Clock::time_point, std::uint64_t>, Work> delayed;
    std::uint64_t nextSequence = 0;
    bool stopping = false;
    bool running = false;  // someone is inside drain()
    bool busy = false;     // an item runs, on the queue's thread or inline in a `sync` caller

    std::thread thread;  // only for queues with a thread of their own

    bool enqueue(Clock::time_point when, bool immediate, Work work) {
        // Notified under the lock: the queued work may destroy the queue as soon as it runs.
        std::lock_guard lock(mutex);
        if (stopping) return false;
        if (immediate) {
            ready.push_back(std::move(work));
        } else {
            delayed.emplace(std::make_pair(when, nextSequence++), std::move(work));
        }
        wake.notify_one();
        return true;
    }

    void drain() {
        runner.store(std::this_thread::get_id());
        const auto* outer = std::exchange(currentQueue, this);
        for (;;) {
            Work work;
            std::map<std::pair<Clock::time_point, std::uint64_t>, Work> discarded;
            {
                std::unique_lock lock(mutex);
                for (;;) {
                    const auto now = Clock::now();
                    while (!delayed.empty() && delayed.begin()->first.first <= now) {
                        ready.push_back(std::move(delayed.begin()->second));
                        delayed.erase(delayed.begin());
                    }
                    if (!ready.empty() && !busy) {
                        work = std::move(ready.front());
                        ready.pop_front();
                        busy = true;
                        break;
                    }
                    if (stopping && ready.empty() && !busy) {
                        discarded.swap(delayed);
                        running = false;
                        break;
                    }
                    if (delayed.empty() || busy) {
                        wake.wait(lock);
                    } else {
                        wake.wait_until(lock, delayed.begin()->first.first);
                    }
                }
            }
            if (!work) break;  // stopped; `discarded` is destroyed here, outside the lock
            try {
                work();
            } catch (...) {
                JobFailures::reportCurrent(label);
            }
            work = nullptr;  // captures die outside the lock, before the next item
            std::lock_guard lock(mutex);
            busy = false;
        }
        currentQueue = outer;
        runner.store(std::thread::id{});
    }
};

SerialQueue::SerialQueue(std::string label)
    : state_(std::make_shared<State>(std::move(label), true)) {
    state_->running = true;
    state_->thread = std::thread([state = state_] {
        setCurrentThreadName(state->label);
        state->drain();
    });
}

SerialQueue::SerialQueue(std::string label, ManualStart)
    : state_(std::make_shared<State>(std::move(label), false)) {}

std::unique_ptr<SerialQueue> SerialQueue::onCallingThread(std::string label) {
    return std::unique_ptr<SerialQueue>(new SerialQueue(std::move(label), ManualStart{}));
}

SerialQueue::~SerialQueue() {
    stop();
    if (!state_->thread.joinable()) return;
    if (state_->thread.get_id() == std::this_thread::get_id()) {
        // Destroyed by its own work: the thread holds the state and ends after this item.
        state_->thread.detach();
    } else {
        state_->thread.join();
    }
}

const std::string& SerialQueue::label() const {
    return state_->label;
}

bool SerialQueue::async(Work work) {
    return state_->enqueue({}, true, std::move(work));
}

bool SerialQueue::asyncAfter(Clock::duration delay, Work work) {
    return asyncAt(Clock::now() + delay, std::move(work));
}

bool SerialQueue::asyncAt(Clock::time_point when, Work work) {
    return state_->enqueue(when, false, std::move(work));
}

bool SerialQueue::holdForInPlaceWork(const void*& outer) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopping || state_->busy || !state_->ready.empty()) return false;
        state_->busy = true;
    }
    outer = std::exchange(currentQueue, state_.get());
    return true;
}

void SerialQueue::releaseInPlaceWork(const void* outer) {
    currentQueue = outer;
    std::lock_guard lock(state_->mutex);
    state_->busy = false;
    // The queue's thread sleeps through a busy spell only when it has work waiting; waking it
    // otherwise would cost every in-place item two needless thread switches.
    if (!state_->ready.empty() || !state_->delayed.empty() || state_->stopping) {
        state_->wake.notify_all();
    }
}

bool SerialQueue::isCurrent() const {
    return currentQueue == state_.get();
}

void SerialQueue::run() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->ownThread || state_->running) {
            throw std::logic_error("the queue " + state_->label + " already has a thread");
        }
        state_->running = true;
    }
    state_->drain();
}

void SerialQueue::stop() {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->wake.notify_all();
}

}  // namespace tavrel
