#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <stop_token>

#include "HelperCore/Concurrency/TaskPool.hpp"

namespace tavrel {

/// Child tasks that run at once on a `TaskPool` and share one cancellation: each child gets the
/// group's stop token, which `cancelAll()` (or a stop of the parent token given at construction)
/// requests. Cancellation is cooperative: a child notices it through its token (an
/// `AsyncStream::next` wakes on it, a blocking socket read does not).
///
/// Threads: `spawn`, `cancelAll` and the counters may be called from any thread, also from a
/// child. `waitAll` and the destructor must not be called from a child of the same group (it
/// would wait for itself). The destructor cancels the children and waits for them.
class TaskGroup {
  public:
    using Task = std::function<void(std::stop_token)>;

    explicit TaskGroup(TaskPool& pool = TaskPool::shared(), std::stop_token parent = {});
    ~TaskGroup();
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    /// Starts `task` as a child. A child spawned after `cancelAll` starts already cancelled.
    void spawn(Task task);

    /// Requests every child's stop token, also of children spawned later. Returns at once.
    void cancelAll();
    bool isCancelled() const;

    /// Waits until no child runs. Rethrows, once, the first exception a child let escape.
    void waitAll();

    /// Children started and not yet finished.
    std::size_t active() const;

    std::stop_token stopToken() const;

  private:
    struct State;
    TaskPool& pool_;
    std::shared_ptr<State> state_;
};

}  // namespace tavrel
