#pragma once

#include <array>
#include <variant>
#include <vector>

#include "HelperCore/Render/RenderJob.hpp"

namespace tavrel {

/// One fading mark of a touch at one moment. Coordinates are fractions of the picture from
/// its top-left corner; a ring's radius is a fraction of the picture's width.
struct TouchMark {
    using Point = std::array<double, 2>;
    struct Ring {
        double x = 0;
        double y = 0;
        double radius = 0;
        bool operator==(const Ring&) const = default;
    };
    struct Trail {
        std::vector<Point> points;
        bool operator==(const Trail&) const = default;
    };
    using Shape = std::variant<Ring, Trail>;

    Shape shape;
    /// Opacity of the whole mark, 0 to 1.
    double alpha = 1;
    bool byAgent = false;

    bool operator==(const TouchMark&) const = default;
};

namespace TouchMarks {

/// How long a mark fades out after its touch ends.
inline constexpr double fade = 0.35;
/// A touch is shown for at least this long, so a quick tap is still seen.
inline constexpr double shortest = 0.15;
inline constexpr double radius = 0.045;

/// The marks of every touch visible at `time` (recording clock), in the touches' order: a ring
/// for a one-point touch (growing to 1.5 times for "long_press"), else a trail up to the
/// touch's progress and a ring at its head. A touch of two fingers gives these marks for each
/// finger's path, the first finger's before the second's.
std::vector<TouchMark> at(const std::vector<RecordedTouch>& touches, double time);

struct Along {
    std::vector<TouchMark::Point> trail;
    TouchMark::Point head{};
};

/// The part of the polyline `points` (not empty) up to `fraction` of its length.
Along along(const std::vector<TouchMark::Point>& points, double fraction);

}  // namespace TouchMarks
}  // namespace tavrel
