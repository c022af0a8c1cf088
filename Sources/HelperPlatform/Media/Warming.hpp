#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tavrel {

/// Runs a device's background warm-up once and lets requests wait for its end.
///
/// Threads: `start` and `done` may be called from any thread; only the first `start` runs its
/// body, on a thread of its own. The destructor waits for the body.
class Warming {
  public:
    Warming() = default;
    ~Warming();
    Warming(const Warming&) = delete;
    Warming& operator=(const Warming&) = delete;

    /// Runs `body` in the background, unless a warm-up was started before. The body's
    /// exceptions are logged (`JobFailures`).
    void start(std::function<void()> body);

    /// Returns once the warm-up has finished; at once when none was started or it is over.
    void waitUntilWarm();

    bool started() const;

  private:
    mutable std::mutex lock_;
    std::condition_variable finished_;
    bool started_ = false;
    bool running_ = false;
    std::thread thread_;
};

}  // namespace tavrel
