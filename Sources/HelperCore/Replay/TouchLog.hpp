#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "HelperCore/Input/HIDEvent.hpp"
#include "HelperCore/Render/RenderJob.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"

namespace tavrel {

/// A moment on both clocks a touch is told by: the wall clock (seconds since the Unix epoch,
/// as clients log their own touches) and a monotonic line (as the replay's pictures are timed).
struct Moment {
    double wallS = 0;
    double monoS = 0;

    static Moment now();
};

/// The touches the helper injected lately, from whichever client, as a render job draws them:
/// one entry from the first finger down to the last finger up, with the path of each finger.
///
/// Bounded whatever clients send: the newest `capacity` touches, each path thinned to at most
/// `pathPoints` points (every other point goes when a path is full, the first and the newest
/// stay).
///
/// Threads: every operation may be called from any thread.
class TouchLog {
  public:
    static constexpr std::size_t defaultCapacity = 4096;
    static constexpr std::size_t pathPoints = 64;
    /// Farther than this (in points) from where it went down, a finger has swiped.
    static constexpr double moveThresholdPt = 10;
    /// Held at least this long without moving, a touch is a long press.
    static constexpr double longPressS = 0.5;

    explicit TouchLog(std::size_t capacity = defaultCapacity);

    /// Notes the touch events of one input request, injected at `at` on a screen of `screen`'s
    /// points. Buttons and keys are not touches and are passed over.
    void record(const std::vector<HIDEvent>& events, const ScreenGeometry& screen, Moment at);

    /// Touches that began at or after `sinceWallS` (all when nothing), oldest first, `t` on the
    /// wall clock. A touch still held counts up to `now`.
    std::vector<RecordedTouch> since(std::optional<double> sinceWallS, Moment now) const;

    /// Touches that began at or after `originMonoS`, `t` in seconds from it.
    std::vector<RecordedTouch> relativeTo(double originMonoS, Moment now) const;

  private:
    using Point = std::array<double, 2>;
    struct Entry {
        Moment start;
        double endMonoS = 0;
        bool held = true;
        double widthPt = 0;
        double heightPt = 0;
        std::array<std::vector<Point>, HIDEvent::fingers> paths;
        // Farthest a finger went from where it went down, in points.
        double farthestPt = 0;
    };

    static void extend(Entry& entry, std::size_t finger, Point point);
    static RecordedTouch touchOf(const Entry& entry, double t, Moment now);

    const std::size_t capacity_;
    mutable std::mutex lock_;
    std::deque<Entry> entries_;  // the last one is held while any finger is down
    std::array<bool, HIDEvent::fingers> down_{};
};

}  // namespace tavrel
