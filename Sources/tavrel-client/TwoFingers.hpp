#pragma once

#include <vector>

#include "HelperCore/Input/HIDEvent.hpp"

namespace tavrel::client {

/// The paths of the two fingers of a pinch or a rotation, as the client's commands send them.
namespace TwoFingers {

/// How far apart the fingers start, in points: wide enough to turn precisely, narrow enough
/// that twice as far still fits on a phone.
inline constexpr double startApart = 100;

/// Where both fingers are at one moment, in points, and when, from the gesture's start.
struct Moment {
    double x0, y0;  // finger 0
    double x1, y1;  // finger 1
    double atS;
    bool operator==(const Moment&) const = default;
};

/// Two fingers centred on (x, y), finger 0 to the left and finger 1 to the right, `startApart`
/// apart; over `seconds` the distance between them becomes `scale` times that and they turn by
/// `degrees` clockwise on the screen about the centre. A moment every 1/60 s, at least the start
/// and the end.
std::vector<Moment> path(double x, double y, double scale, double degrees, double seconds);

/// One moment as the events of both fingers: "down" (which puts them on the screen, or moves
/// them while they are on it) or "up" (which lifts them).
std::vector<HIDEvent> events(const Moment& moment, HIDEvent::Phase phase);

}  // namespace TwoFingers
}  // namespace tavrel::client
