#pragma once

// Picture in to access unit out, timed against the simulated device's own clock: the device
// draws one new frame on a still screen (its animation switched on until one is drawn, then
// off), and the time runs from that frame being drawn to the first stream chunk after it.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "Timing.hpp"

namespace tavrel::timing {

/// steady_clock is CLOCK_MONOTONIC here, the clock the device stamps its frames with.
inline std::uint64_t nowNs() {
    return std::uint64_t(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

/// The drawn time of the first frame after a moment, heard from the device itself.
class FrameClock {
  public:
    explicit FrameClock(sim::DeviceLink& link) : link_(link) {
        token_ = link_.subscribeFrames([this](const sim::FrameNotice& notice) {
            std::lock_guard guard(lock_);
            last_ = notice.drawnNs;
            changed_.notify_all();
        });
    }
    ~FrameClock() { link_.unsubscribe(token_); }
    FrameClock(const FrameClock&) = delete;
    FrameClock& operator=(const FrameClock&) = delete;

    std::uint64_t firstAfter(std::uint64_t sinceNs) {
        std::unique_lock guard(lock_);
        if (!changed_.wait_for(guard, std::chrono::seconds(5), [&] { return last_ > sinceNs; }))
            throw HelperFailure("the device drew nothing", 504);
        return last_;
    }

  private:
    sim::DeviceLink& link_;
    std::uint64_t token_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    std::uint64_t last_ = 0;
};

/// `rounds` pictures on the device of `link`, timed on a running stream of it whose key frames
/// are far apart (a still screen then sends nothing a new picture could be mistaken for). The
/// device is left still.
inline std::vector<double> pictureToUnit(client::ClientSocket& viewer, std::uint32_t stream,
                                         sim::DeviceLink& link, int rounds) {
    using namespace std::chrono_literals;
    link.setAnimating(false);
    drain(viewer, stream, 700ms);
    FrameClock frames(link);
    std::vector<double> latencies;
    for (int round = 0; round < rounds; ++round) {
        const auto before = nowNs();
        link.setAnimating(true);
        const auto drawn = frames.firstAfter(before);
        link.setAnimating(false);
        auto frame = viewer.next(stream, Clock::now() + 5s);
        if (!frame || frame->kind != FrameKind::chunk)
            throw HelperFailure("no access unit after a new picture", 502);
        latencies.push_back(double(nowNs() - drawn) / 1e6);
        drain(viewer, stream, 400ms);  // the frames drawn before the animation stopped
    }
    return latencies;
}

}  // namespace tavrel::timing
