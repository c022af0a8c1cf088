#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tavrel {

/// The frames of one output: when each is shown (`output`) and which moment of the recording
/// it shows (`source`), both in seconds.
struct Ticks {
    struct Tick {
        double output = 0;
        double source = 0;
        bool operator==(const Tick&) const = default;
    };

    std::vector<Tick> times;
    std::int64_t fps = 1;

    /// Playing time of the output.
    double length() const { return static_cast<double>(times.size()) / static_cast<double>(fps); }

    /// ceil(duration / speed x fps) ticks, at least one, sources never past `duration`. Without
    /// a positive duration, speed and fps: the one tick (0, 0) at max(fps, 1).
    static Ticks make(double duration, double speed, std::int64_t fps);

    bool operator==(const Ticks&) const = default;
};

/// An output size of even sides for a source, never wider than it: `width` caps the width,
/// the height follows the aspect of the unrounded width. (2, 2) for an empty source.
std::pair<int, int> renderedSize(int sourceWidth, int sourceHeight,
                                 std::optional<int> width = std::nullopt);

}  // namespace tavrel
