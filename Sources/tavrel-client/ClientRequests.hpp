#pragma once

#include <string>
#include <vector>

#include "HelperCore/Input/HIDEvent.hpp"
#include "tavrel-client/ClientArguments.hpp"

namespace tavrel::client {

/// The request documents and HID events the client's commands send.
namespace ClientRequests {

std::string hello();
std::string describe();
std::string accessibility();
std::string screenshot(const ScreenshotCommand& command);
std::string stream(const StreamCommand& command);
std::string hid(const std::vector<HIDEvent>& events);
std::string replay();
/// The touches the helper injected from `since` (seconds since the epoch) on.
std::string touches(double since);

std::vector<HIDEvent> tap(double x, double y);
std::vector<HIDEvent> key(std::int64_t code);
std::vector<HIDEvent> button(const std::string& name, bool down);

/// Keyboard usages for letters, digits and spaces; an upper-case letter is typed with the left
/// shift held around it. Throws UsageError naming the first character it cannot type.
std::vector<HIDEvent> type(const std::string& text);

/// One point of a swipe and when, from the swipe's start, it is sent.
struct SwipePoint {
    double x;
    double y;
    double atS;
};
/// The finger's path: the start, a point every 1/60 s along a straight line, the end (at least
/// the two ends). The first point goes down, the last lifts.
std::vector<SwipePoint> swipe(const SwipeCommand& command);

/// Keyboard usage page codes the typing uses.
inline constexpr std::int64_t leftShift = 225;
inline constexpr std::int64_t space = 44;

}  // namespace ClientRequests

}  // namespace tavrel::client
