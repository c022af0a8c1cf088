#include "HelperPlatform/Server/ReplayRecorder.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Concurrency/ThreadName.hpp"
#include "HelperCore/Replay/TouchLog.hpp"

namespace tavrel {
namespace {

constexpr auto restartAfter = std::chrono::seconds(1);

// The stream's consumer end: leaving the recording for any reason stops production.
struct Consumer {
    AsyncStream<Bytes> stream;
    ~Consumer() { stream.cancel(); }
};

}  // namespace

StreamSettings ReplayRecorder::settings() {
    StreamSettings settings{30, 0.5, 1, 2'000'000};
    settings.idleKeyFrames = false;
    return settings;
}

ReplayRecorder::ReplayRecorder(Device& device, std::shared_ptr<ReplayRing> ring, Log log)
    : device_(device), ring_(std::move(ring)), log_(std::move(log)) {}

ReplayRecorder::~ReplayRecorder() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

void ReplayRecorder::start() {
    if (thread_.joinable()) return;
    thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
}

void ReplayRecorder::run(std::stop_token stop) {
    setCurrentThreadName("tavrel.replay");
    device_.waitUntilWarm();
    std::string lastFailure;
    std::mutex mutex;
    std::condition_variable_any wake;
    while (!stop.stop_requested()) {
        try {
            record(stop);
            lastFailure.clear();
        } catch (...) {
            const std::string failure = HelperFailure::fromCurrentException().message();
            // Said once, not every second while the device stays unready.
            if (failure != lastFailure) log_.info("the replay waits: " + failure);
            lastFailure = failure;
        }
        std::unique_lock lock(mutex);
        wake.wait_for(lock, stop, restartAfter, [] { return false; });
    }
}

void ReplayRecorder::record(std::stop_token stop) {
    Consumer consumer{device_.stream(settings())};
    while (auto unit = consumer.stream.next(stop)) {
        if (ring_->add(std::move(*unit), Moment::now().monoS)) consumer.stream.requestRefresh();
    }
}

}  // namespace tavrel
