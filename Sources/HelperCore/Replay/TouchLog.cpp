#include "HelperCore/Replay/TouchLog.hpp"

#include <chrono>
#include <cmath>
#include <numbers>

namespace tavrel {
namespace {

double secondsOf(auto duration) {
    return std::chrono::duration<double>(duration).count();
}

// How far apart two fingers are, and at what angle, at one end of their paths.
struct Span {
    double distance;
    double angle;
};

template <class Point>
Span spanOf(const Point& one, const Point& two) {
    const double dx = two[0] - one[0], dy = two[1] - one[1];
    return {std::hypot(dx, dy), std::atan2(dy, dx)};
}

// Whether two fingers turned more than they spread or closed: an angle in radians against the
// logarithm of the distances' ratio, so a quarter turn weighs like a spread to 2.2 times.
template <class Path>
bool turned(const Path& one, const Path& two) {
    const Span first = spanOf(one.front(), two.front());
    const Span last = spanOf(one.back(), two.back());
    double turn = std::fabs(last.angle - first.angle);
    if (turn > std::numbers::pi) turn = 2 * std::numbers::pi - turn;
    if (first.distance <= 0 || last.distance <= 0) return turn > 0;
    return turn > std::fabs(std::log(last.distance / first.distance));
}

}  // namespace

Moment Moment::now() {
    return {secondsOf(std::chrono::system_clock::now().time_since_epoch()),
            secondsOf(std::chrono::steady_clock::now().time_since_epoch())};
}

TouchLog::TouchLog(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

void TouchLog::record(const std::vector<HIDEvent>& events, const ScreenGeometry& screen,
                      Moment at) {
    std::lock_guard guard(lock_);
    for (const HIDEvent& event : events) {
        if (event.kind != HIDEvent::Kind::touch) continue;
        if (event.finger < 0 || event.finger >= HIDEvent::fingers) continue;
        const auto finger = static_cast<std::size_t>(event.finger);
        const Point point{event.x, event.y};
        if (event.phase == HIDEvent::Phase::down) {
            if (entries_.empty() || !entries_.back().held) {
                Entry entry;
                entry.start = at;
                entry.widthPt = screen.widthPt;
                entry.heightPt = screen.heightPt;
                entries_.push_back(std::move(entry));
                while (entries_.size() > capacity_) entries_.pop_front();
            }
            down_[finger] = true;
        } else {
            // A finger that is not down lifts nothing.
            if (!down_[finger]) continue;
            down_[finger] = false;
        }
        Entry& entry = entries_.back();
        extend(entry, finger, point);
        entry.endMonoS = at.monoS;
        if (!down_[0] && !down_[1]) entry.held = false;
    }
}

void TouchLog::extend(Entry& entry, std::size_t finger, Point point) {
    auto& path = entry.paths[finger];
    if (!path.empty() && path.back() == point) return;
    if (!path.empty()) {
        entry.farthestPt = std::max(
            entry.farthestPt, std::hypot(point[0] - path.front()[0], point[1] - path.front()[1]));
    }
    if (path.size() >= pathPoints) {
        std::size_t kept = 0;
        for (std::size_t index = 0; index < path.size(); index += 2) path[kept++] = path[index];
        path.resize(kept);
    }
    path.push_back(point);
}

RecordedTouch TouchLog::touchOf(const Entry& entry, double t, Moment now) {
    const auto fractions = [&](const std::vector<Point>& path) {
        std::vector<std::vector<double>> points;
        points.reserve(path.size());
        for (const Point& point : path) {
            points.push_back({entry.widthPt > 0 ? point[0] / entry.widthPt : 0,
                              entry.heightPt > 0 ? point[1] / entry.heightPt : 0});
        }
        return points;
    };
    RecordedTouch touch;
    touch.t = t;
    touch.by = "agent";
    touch.duration = std::max((entry.held ? now.monoS : entry.endMonoS) - entry.start.monoS, 0.0);
    const auto& one = entry.paths[0];
    const auto& two = entry.paths[1];
    if (!one.empty() && !two.empty()) {
        touch.kind = turned(one, two) ? "rotate" : "pinch";
        touch.points = fractions(one);
        touch.pointsTwo = fractions(two);
        return touch;
    }
    touch.points = fractions(one.empty() ? two : one);
    if (entry.farthestPt > moveThresholdPt)
        touch.kind = "swipe";
    else if (touch.duration >= longPressS)
        touch.kind = "long_press";
    else
        touch.kind = "tap";
    return touch;
}

std::vector<RecordedTouch> TouchLog::since(std::optional<double> sinceWallS, Moment now) const {
    std::vector<RecordedTouch> touches;
    std::lock_guard guard(lock_);
    for (const Entry& entry : entries_) {
        if (sinceWallS && !(entry.start.wallS >= *sinceWallS)) continue;
        touches.push_back(touchOf(entry, entry.start.wallS, now));
    }
    return touches;
}

std::vector<RecordedTouch> TouchLog::relativeTo(double originMonoS, Moment now) const {
    std::vector<RecordedTouch> touches;
    std::lock_guard guard(lock_);
    for (const Entry& entry : entries_) {
        if (entry.start.monoS < originMonoS) continue;
        touches.push_back(touchOf(entry, entry.start.monoS - originMonoS, now));
    }
    return touches;
}

}  // namespace tavrel
