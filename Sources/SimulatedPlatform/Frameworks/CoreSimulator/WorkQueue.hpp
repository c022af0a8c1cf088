// A serial queue of work on one thread, joined on destruction (pending work is dropped).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tavrel::coresim {

class WorkQueue {
  public:
    WorkQueue() : thread_([this](std::stop_token stop) { run(stop); }) {}
    ~WorkQueue() {
        thread_.request_stop();
        changed_.notify_all();
    }

    void async(std::function<void()> work) {
        {
            std::lock_guard guard(lock_);
            work_.push_back(std::move(work));
        }
        changed_.notify_one();
    }

  private:
    void run(std::stop_token stop) {
        for (;;) {
            std::function<void()> next;
            {
                std::unique_lock guard(lock_);
                changed_.wait(guard, stop, [&] { return !work_.empty(); });
                if (stop.stop_requested()) return;
                next = std::move(work_.front());
                work_.pop_front();
            }
            next();
        }
    }

    std::mutex lock_;
    std::condition_variable_any changed_;
    std::deque<std::function<void()>> work_;
    std::jthread thread_;  // last: stops and joins before the rest goes
};

}  // namespace tavrel::coresim
