#include "tavrel-client/TwoFingers.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tavrel::client::TwoFingers {

std::vector<Moment> path(double x, double y, double scale, double degrees, double seconds) {
    constexpr double interval = 1.0 / 60;
    const auto steps = std::max<long>(1, std::lround(seconds / interval));
    std::vector<Moment> moments;
    moments.reserve(static_cast<std::size_t>(steps) + 1);
    for (long step = 0; step <= steps; ++step) {
        const double fraction = static_cast<double>(step) / static_cast<double>(steps);
        // The distance grows evenly, as the picture's scale then does.
        const double half = startApart * (1 + (scale - 1) * fraction) / 2;
        const double turn = degrees * fraction * std::numbers::pi / 180;
        const double dx = half * std::cos(turn), dy = half * std::sin(turn);
        moments.push_back({x - dx, y - dy, x + dx, y + dy, seconds * fraction});
    }
    return moments;
}

std::vector<HIDEvent> events(const Moment& moment, HIDEvent::Phase phase) {
    return {HIDEvent{HIDEvent::Kind::touch, phase, moment.x0, moment.y0, "", 0, 0},
            HIDEvent{HIDEvent::Kind::touch, phase, moment.x1, moment.y1, "", 0, 1}};
}

}  // namespace tavrel::client::TwoFingers
