#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace tavrel {

/// A serial work queue: work items run one at a time, in the order they were queued, on one
/// thread. A queue made with `SerialQueue(label)` owns that thread (named after the label's
/// first 15 bytes); one made with `SerialQueue::onCallingThread(label)` has none and runs its
/// work on whichever thread calls `run()` (the process's main queue).
///
/// Threads: every member may be called from any thread, including from work running on the
/// queue itself. Work must not throw; an exception escaping an `async` item is logged
/// (`JobFailures`) and the queue goes on, so that one faulty item cannot end it. `sync` passes
/// exceptions to its caller.
///
/// Stopping: after `stop()` the queue refuses new work; work already due still runs, work
/// scheduled for later with `asyncAfter` is discarded, then the thread ends (or `run()` returns).
/// The destructor stops the queue and waits for its thread, except when it runs on that very
/// thread, in which case the thread ends by itself after the current item.
class SerialQueue {
  public:
    using Clock = std::chrono::steady_clock;
    using Work = std::function<void()>;

    /// Starts the queue's own thread.
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    /// A queue without a thread: its work runs inside `run()` on the caller's thread.
    static std::unique_ptr<SerialQueue> onCallingThread(std::string label);

    const std::string& label() const;

    /// Queues `work` to run after everything queued before it. Returns false (and drops the
    /// work) once the queue is stopped.
    bool async(Work work);
    /// Queues `work` to run once `delay` has passed on the monotonic clock (no earlier; later
    /// when the queue is busy). Returns false once the queue is stopped.
    bool asyncAfter(Clock::duration delay, Work work);
    bool asyncAt(Clock::time_point when, Work work);

    /// Runs `work` on the queue and waits for its result (or exception). Called from work on
    /// this same queue it runs at once, in place, rather than deadlocking. Throws
    /// std::logic_error when the queue is stopped and will not run it.
    template <class F>
    std::invoke_result_t<F&> sync(F&& work);

    /// True while the calling thread runs this queue's work (also work `sync` runs in place).
    bool isCurrent() const;

    /// For queues made by `onCallingThread`: runs their work on the calling thread until
    /// `stop()`, then returns. Throws std::logic_error on a queue that has its own thread or that
    /// another thread is already running.
    void run();

    /// Refuses new work and ends the queue after the work already due. Returns at once.
    void stop();

  private:
    struct State;
    struct ManualStart {};
    // Holds the queue for work run in place on the calling thread, when nothing else is
    // queued or running; false (nothing held) otherwise. `outer` receives what to hand back.
    bool holdForInPlaceWork(const void*& outer);
    void releaseInPlaceWork(const void* outer);
    SerialQueue(std::string label, ManualStart);

    std::shared_ptr<State> state_;
};

template <class F>
std::invoke_result_t<F&> SerialQueue::sync(F&& work) {
    using Result = std::invoke_result_t<F&>;
    if (isCurrent()) return work();
    // As with dispatch queues, an idle queue runs sync work on the caller's thread: the caller
    // waits either way, and this saves two thread switches.
    if (const void* outer = nullptr; holdForInPlaceWork(outer)) {
        struct Release {
            SerialQueue& queue;
            const void* outer;
            ~Release() { queue.releaseInPlaceWork(outer); }
        } release{*this, outer};
        return work();
    }
    std::packaged_task<Result()> task(std::ref(work));
    auto result = task.get_future();
    if (!async([&task] { task(); })) throw std::logic_error("the queue " + label() + " is stopped");
    return result.get();
}

}  // namespace tavrel
