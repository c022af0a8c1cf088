#include "HelperPlatform/Media/Warming.hpp"

#include "HelperCore/Concurrency/JobFailures.hpp"
#include "HelperCore/Concurrency/ThreadName.hpp"

namespace tavrel {

Warming::~Warming() {
    if (thread_.joinable()) thread_.join();
}

void Warming::start(std::function<void()> body) {
    std::lock_guard lock(lock_);
    if (started_) return;
    started_ = true;
    running_ = true;
    try {
        thread_ = std::thread([this, body = std::move(body)] {
            setCurrentThreadName("tavrel.warming");
            try {
                body();
            } catch (...) {
                // Warming only saves the first answer time; that answer meets the same failure.
                JobFailures::reportCurrent("tavrel.warming");
            }
            {
                std::lock_guard lock(lock_);
                running_ = false;
            }
            finished_.notify_all();
        });
    } catch (...) {
        running_ = false;
        throw;
    }
}

void Warming::waitUntilWarm() {
    std::unique_lock lock(lock_);
    finished_.wait(lock, [this] { return !running_; });
}

bool Warming::started() const {
    std::lock_guard lock(lock_);
    return started_;
}

}  // namespace tavrel
