#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace tavrel {

/// Threads for tasks that block (one answer, a stream): a job runs at once on an idle worker or,
/// when none is idle, on a new one, up to `maxThreads`; beyond that, or when the system refuses
/// a thread, it waits for the next worker to come free. Up to `maxIdle` finished workers stay
/// for the next jobs instead of costing a thread creation each.
///
/// Threads: `run`, `trim` and the counters may be called from any thread, including from jobs.
/// The destructor waits for every job to finish; it must not run on one of the pool's workers.
class TaskPool {
  public:
    explicit TaskPool(std::string threadName = "tavrel.task", std::size_t maxIdle = 16,
                      std::size_t maxThreads = 64);
    ~TaskPool();
    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

    /// The process's pool, made on first use and ended at exit (when no job is running any more).
    static TaskPool& shared();

    /// Runs `job` on a worker, now or when one comes free; never blocks. Returns the system's
    /// refusal when a new worker was wanted for it and could not be started (the job then waits
    /// for a busy one), else nothing. Throws that error only when no worker exists at all. A
    /// job's exception is logged (`JobFailures`) and the worker goes on.
    std::error_code run(std::function<void()> job);

    /// Ends the idle workers and waits until their threads are gone (leak checks count threads).
    void trim();

    /// Worker threads alive right now, busy or idle.
    std::size_t threadCount() const;
    std::size_t idleCount() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tavrel
