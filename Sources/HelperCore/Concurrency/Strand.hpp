#pragma once

#include <functional>
#include <memory>

namespace tavrel {

/// Work that must never run two at once nor out of order, without a thread of its own. Work
/// dispatched to a free strand runs at once on the calling thread; work dispatched while the
/// strand is taken is queued and runs after it, in order, on a pool worker (never on the thread
/// that frees the strand, which may be an event loop). Work on the strand may hand the strand,
/// with one more piece of work, to the pool (`continueOnPool`): what would block an event loop
/// runs on a worker, and nothing queued meanwhile overtakes it.
///
/// Lifecycle: `free`, or `taken` from the start of a piece of work until the queue is empty.
/// Queued work keeps the strand's state alive, so its owner may go before it runs.
///
/// Threads: `dispatch` from any thread, also from work on this or another strand (it then
/// queues); `continueOnPool` only from work running on this strand, as its last call. Work must
/// not throw: an exception escaping it is logged (`JobFailures`) and the strand goes on.
class Strand {
  public:
    /// Where a piece of work runs: on the thread that dispatched it, or on a pool worker.
    enum class Where { caller, pool };
    using Work = std::function<void(Where)>;
    /// Puts a job on worker threads; throws when no worker can take it at all.
    using Submit = std::function<void(std::function<void()>)>;

    explicit Strand(Submit submit);
    ~Strand();
    Strand(const Strand&) = delete;
    Strand& operator=(const Strand&) = delete;

    /// Runs `work` now when the strand is free, else queues it behind what waits.
    void dispatch(Work work);

    /// From work on this strand: the strand stays taken when that work returns, and `next` runs
    /// on the pool before anything queued. The caller must return at once: `next` may already
    /// run. Throws what `Submit` threw, the strand then still with the caller; throws
    /// std::logic_error when not called from work on this strand.
    void continueOnPool(Work next);

  private:
    struct State;
    // Runs what is queued until nothing is, then frees the strand.
    static void drain(const std::shared_ptr<State>& state, Where where);

    std::shared_ptr<State> state_;
};

}  // namespace tavrel
