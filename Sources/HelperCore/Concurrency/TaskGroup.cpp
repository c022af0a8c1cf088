#include "HelperCore/Concurrency/TaskGroup.hpp"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "HelperCore/Concurrency/JobFailures.hpp"

namespace tavrel {

struct TaskGroup::State {
    std::stop_source stop;
    std::optional<std::stop_callback<std::function<void()>>> parentLink;

    mutable std::mutex mutex;
    std::condition_variable finished;
    std::size_t active = 0;
    std::exception_ptr firstError;
};

TaskGroup::TaskGroup(TaskPool& pool, std::stop_token parent)
    : pool_(pool), state_(std::make_shared<State>()) {
    if (parent.stop_possible()) {
        state_->parentLink.emplace(std::move(parent),
                                   [stop = state_->stop]() mutable { stop.request_stop(); });
    }
}

TaskGroup::~TaskGroup() {
    cancelAll();
    try {
        waitAll();
    } catch (...) {
        // A child's failure that nobody waited for.
        JobFailures::reportCurrent("a task group");
    }
    // The parent link goes first, so a late parent stop does not touch a dying group.
    state_->parentLink.reset();
}

void TaskGroup::spawn(Task task) {
    {
        std::lock_guard lock(state_->mutex);
        ++state_->active;
    }
    auto run = [state = state_, task = std::move(task)]() mutable {
        std::exception_ptr error;
        try {
            task(state->stop.get_token());
        } catch (...) {
            error = std::current_exception();
        }
        task = nullptr;  // the child's captures die before the group hears it finished
        std::lock_guard lock(state->mutex);
        // Handed over or dropped under the lock: the waiter may read the error and let it go as
        // soon as it is published, and its last reference must not then fall on this thread
        // (the count lives in the uninstrumented runtime, so no sanitizer sees that order).
        if (error && !state->firstError) state->firstError = std::move(error);
        error = nullptr;
        if (--state->active == 0) state->finished.notify_all();
    };
    try {
        pool_.run(std::move(run));
    } catch (...) {
        std::lock_guard lock(state_->mutex);
        if (--state_->active == 0) state_->finished.notify_all();
        throw;
    }
}

void TaskGroup::cancelAll() {
    state_->stop.request_stop();
}

bool TaskGroup::isCancelled() const {
    return state_->stop.stop_requested();
}

void TaskGroup::waitAll() {
    std::exception_ptr error;
    {
        std::unique_lock lock(state_->mutex);
        state_->finished.wait(lock, [this] { return state_->active == 0; });
        error = std::exchange(state_->firstError, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

std::size_t TaskGroup::active() const {
    std::lock_guard lock(state_->mutex);
    return state_->active;
}

std::stop_token TaskGroup::stopToken() const {
    return state_->stop.get_token();
}

}  // namespace tavrel
