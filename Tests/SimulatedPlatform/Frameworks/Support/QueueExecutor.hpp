#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "SimulatedPlatform/Runtime/Foreign/Value.hpp"

namespace tavrel::test {

// A serial queue on its own thread, standing in for the helper's dispatch queues.
class QueueExecutor : public foreign::Executor {
  public:
    QueueExecutor() : thread_([this](std::stop_token stop) { run(stop); }) {}
    ~QueueExecutor() override {
        thread_.request_stop();
        changed_.notify_all();
    }

    void async(std::function<void()> work) override {
        {
            std::lock_guard guard(lock_);
            work_.push_back(std::move(work));
        }
        changed_.notify_all();
    }

    bool onQueue() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Returns once everything queued so far has run.
    void drain() {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return work_.empty() && !busy_; });
    }

  private:
    void run(std::stop_token stop) {
        std::unique_lock guard(lock_);
        for (;;) {
            changed_.wait(guard, stop, [&] { return !work_.empty(); });
            if (stop.stop_requested()) return;
            auto next = std::move(work_.front());
            work_.pop_front();
            busy_ = true;
            guard.unlock();
            next();
            guard.lock();
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable_any changed_;
    std::deque<std::function<void()>> work_;
    bool busy_ = false;
    std::jthread thread_;
};

}  // namespace tavrel::test
