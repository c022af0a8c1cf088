#include "HelperCore/Concurrency/TaskPool.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "HelperCore/Concurrency/JobFailures.hpp"
#include "HelperCore/Concurrency/ThreadName.hpp"

namespace tavrel {

namespace {

std::error_code refusalOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& refusal) {
        return refusal.code();
    } catch (...) {
        return std::make_error_code(std::errc::not_enough_memory);
    }
}

}  // namespace

struct TaskPool::State {
    State(std::string threadName, std::size_t maxIdle, std::size_t maxThreads)
        : threadName(std::move(threadName)), maxIdle(maxIdle), maxThreads(maxThreads) {}

    const std::string threadName;
    const std::size_t maxIdle;
    const std::size_t maxThreads;

    mutable std::mutex mutex;
    std::condition_variable work;     // a job was queued, or idle workers are asked to end
    std::condition_variable changed;  // a worker ended
    std::deque<std::function<void()>> jobs;
    std::map<std::thread::id, std::thread> workers;
    std::vector<std::thread> ended;  // workers that returned and still need joining
    std::size_t idle = 0;
    std::size_t toTrim = 0;
    bool exiting = false;

    // Called with the lock held.
    void startWorker() {
        std::thread thread([this] { workerLoop(); });
        workers.emplace(thread.get_id(), std::move(thread));
    }

    void workerLoop() {
        setCurrentThreadName(threadName);
        std::unique_lock lock(mutex);
        for (;;) {
            while (jobs.empty() && toTrim == 0 && !exiting) {
                ++idle;
                work.wait(lock);
                --idle;
            }
            if (jobs.empty()) {  // trimmed or exiting
                if (toTrim > 0) --toTrim;
                break;
            }
            auto job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            try {
                job();
            } catch (...) {
                JobFailures::reportCurrent(threadName);
            }
            job = nullptr;
            lock.lock();
            if (idle >= maxIdle && jobs.empty()) break;
        }
        auto self = workers.find(std::this_thread::get_id());
        ended.push_back(std::move(self->second));
        workers.erase(self);
        changed.notify_all();
    }

    std::vector<std::thread> takeEnded() {
        std::vector<std::thread> result;
        result.swap(ended);
        return result;
    }
};

TaskPool::TaskPool(std::string threadName, std::size_t maxIdle, std::size_t maxThreads)
    : state_(std::make_shared<State>(std::move(threadName), maxIdle,
                                     std::max<std::size_t>(maxThreads, 1))) {}

TaskPool::~TaskPool() {
    std::vector<std::thread> ended;
    {
        std::unique_lock lock(state_->mutex);
        state_->exiting = true;
        state_->work.notify_all();
        state_->changed.wait(lock, [this] { return state_->workers.empty(); });
        ended = state_->takeEnded();
    }
    for (auto& thread : ended) thread.join();
}

TaskPool& TaskPool::shared() {
    static TaskPool pool;
    return pool;
}

std::error_code TaskPool::run(std::function<void()> job) {
    std::vector<std::thread> ended;
    bool wake = false;
    std::error_code refused;
    {
        std::lock_guard lock(state_->mutex);
        state_->jobs.push_back(std::move(job));
        // Idle workers not already promised to a queued job or to a trim take it; else a new one.
        if (state_->idle >= state_->toTrim + state_->jobs.size()) {
            wake = true;
        } else if (state_->workers.size() < state_->maxThreads) {
            try {
                state_->startWorker();
            } catch (...) {
                // Out of threads: a busy worker takes the job when it is done, if there is one.
                if (state_->workers.empty()) {
                    state_->jobs.pop_back();
                    throw;
                }
                refused = refusalOf(std::current_exception());
            }
        }
        ended = state_->takeEnded();
    }
    // Woken after the lock is released, the worker does not wake only to wait for it.
    if (wake) state_->work.notify_one();
    for (auto& thread : ended) thread.join();
    return refused;
}

void TaskPool::trim() {
    std::vector<std::thread> ended;
    {
        std::unique_lock lock(state_->mutex);
        state_->toTrim = state_->idle;
        state_->work.notify_all();
        // A worker woken for a trim may take a job that arrived meanwhile instead; once no
        // worker is idle there is nothing left to end.
        state_->changed.wait(lock, [this] { return state_->toTrim == 0 || state_->idle == 0; });
        state_->toTrim = 0;
        ended = state_->takeEnded();
    }
    for (auto& thread : ended) thread.join();
}

std::size_t TaskPool::threadCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->workers.size();
}

std::size_t TaskPool::idleCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->idle;
}

}  // namespace tavrel
