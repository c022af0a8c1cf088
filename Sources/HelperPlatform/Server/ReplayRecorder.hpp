#pragma once

#include <memory>
#include <thread>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Replay/ReplayRing.hpp"
#include "HelperCore/Server/Device.hpp"
#include "HelperCore/Video/StreamSettings.hpp"

namespace tavrel {

/// Keeps the device's screen flowing into a replay ring: a stream of its own through the
/// device's ordinary stream path, each access unit timed as it arrives, started again a second
/// after it ends or cannot start (no picture yet, a device still opening).
///
/// Lifecycle: `idle` until `start`, then `recording` on its thread "tavrel.replay" (also while
/// waiting to start the stream again); `stopped` once the destructor has cancelled the stream
/// and joined the thread.
class ReplayRecorder {
  public:
    /// What the replay is encoded with: 30 fps at half the screen's size, 2 Mbit/s, a key frame
    /// every second while pictures flow (so the ring lets go in small steps) and none for a
    /// still screen, which then costs nothing.
    static StreamSettings settings();

    ReplayRecorder(Device& device, std::shared_ptr<ReplayRing> ring, Log log);
    ~ReplayRecorder();
    ReplayRecorder(const ReplayRecorder&) = delete;
    ReplayRecorder& operator=(const ReplayRecorder&) = delete;

    /// Starts recording once the device has warmed up; once.
    void start();

  private:
    void run(std::stop_token stop);
    void record(std::stop_token stop);

    Device& device_;
    const std::shared_ptr<ReplayRing> ring_;
    const Log log_;
    // Last: joined first, while everything it uses exists.
    std::jthread thread_;
};

}  // namespace tavrel
