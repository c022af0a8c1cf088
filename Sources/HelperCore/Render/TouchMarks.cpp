#include "HelperCore/Render/TouchMarks.hpp"

#include <algorithm>
#include <cmath>

namespace tavrel::TouchMarks {

namespace {

std::vector<TouchMark::Point> usable(const std::vector<std::vector<double>>& list) {
    std::vector<TouchMark::Point> points;
    for (const auto& point : list) {
        if (point.size() == 2) points.push_back({point[0], point[1]});
    }
    return points;
}

}  // namespace

std::vector<TouchMark> at(const std::vector<RecordedTouch>& touches, double time) {
    std::vector<TouchMark> marks;
    for (const RecordedTouch& touch : touches) {
        // Each finger's path is drawn alike: the first finger's marks, then the second's.
        std::vector<std::vector<TouchMark::Point>> fingers{usable(touch.points)};
        if (auto two = usable(touch.pointsTwo); !two.empty()) fingers.push_back(std::move(two));
        if (fingers[0].empty()) continue;
        const double elapsed = time - touch.t;
        const double length = touch.duration <= shortest ? shortest : touch.duration;
        if (!(elapsed >= 0 && elapsed <= length + fade)) continue;
        const double strength =
            elapsed <= length ? 1 : std::max(0.0, 1 - (elapsed - length) / fade);
        const double progress = std::min(elapsed / length, 1.0);
        const bool byAgent = touch.by == "agent";
        for (const auto& points : fingers) {
            if (points.size() == 1) {
                const double grown =
                    touch.kind == "long_press" ? radius * (1 + 0.5 * progress) : radius;
                marks.push_back(
                    {TouchMark::Ring{points[0][0], points[0][1], grown}, strength, byAgent});
                continue;
            }
            auto [trail, head] = along(points, progress);
            marks.push_back({TouchMark::Trail{std::move(trail)}, 0.8 * strength, byAgent});
            marks.push_back({TouchMark::Ring{head[0], head[1], radius}, strength, byAgent});
        }
    }
    return marks;
}

Along along(const std::vector<TouchMark::Point>& points, double fraction) {
    if (points.empty()) return {};
    std::vector<double> lengths;
    double total = 0;
    for (std::size_t index = 1; index < points.size(); ++index) {
        lengths.push_back(std::hypot(points[index][0] - points[index - 1][0],
                                     points[index][1] - points[index - 1][1]));
        total += lengths.back();
    }
    if (lengths.empty() || !(total > 0)) return {{points[0]}, points[0]};
    double remaining = total * fraction;
    Along result{{points[0]}, points[0]};
    for (std::size_t index = 0; index < lengths.size(); ++index) {
        if (lengths[index] < remaining) {
            result.trail.push_back(points[index + 1]);
            remaining -= lengths[index];
            continue;
        }
        const double f = lengths[index] > 0 ? remaining / lengths[index] : 0;
        const auto& start = points[index];
        const auto& end = points[index + 1];
        result.head = {start[0] + (end[0] - start[0]) * f, start[1] + (end[1] - start[1]) * f};
        result.trail.push_back(result.head);
        return result;
    }
    return {points, points.back()};
}

}  // namespace tavrel::TouchMarks
