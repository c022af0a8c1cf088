#include "tavrel-client/ClientRequests.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

#include "HelperCore/Base/JSON.hpp"

namespace tavrel::client {
namespace ClientRequests {
namespace {

std::string op(const char* name) {
    return nlohmann::json{{"op", name}}.dump();
}

HIDEvent keyEvent(std::int64_t code, HIDEvent::Phase phase) {
    HIDEvent event;
    event.kind = HIDEvent::Kind::key;
    event.phase = phase;
    event.code = code;
    return event;
}

HIDEvent touchEvent(double x, double y, HIDEvent::Phase phase) {
    HIDEvent event;
    event.kind = HIDEvent::Kind::touch;
    event.phase = phase;
    event.x = x;
    event.y = y;
    return event;
}

}  // namespace

std::string hello() {
    return op("hello");
}

std::string describe() {
    return op("describe");
}

std::string accessibility() {
    return op("accessibility");
}

std::string screenshot(const ScreenshotCommand& command) {
    nlohmann::json document{{"op", "screenshot"}};
    if (command.maxWidth) document["max_width"] = *command.maxWidth;
    if (command.quality) document["quality"] = *command.quality;
    if (command.crop) document["crop"] = *command.crop;
    return document.dump();
}

std::string stream(const StreamCommand& command) {
    return nlohmann::json{{"op", "stream"},
                          {"fps", command.fps},
                          {"scale", command.scale},
                          {"key_frame_s", command.keyFrameS},
                          {"bitrate", command.bitrate}}
        .dump();
}

std::string hid(const std::vector<HIDEvent>& events) {
    return nlohmann::json{{"op", "hid"}, {"events", events}}.dump();
}

std::string replay() {
    return op("replay");
}

std::string touches(double since) {
    return nlohmann::json{{"op", "touches"}, {"since", since}}.dump();
}

std::vector<HIDEvent> tap(double x, double y) {
    return {touchEvent(x, y, HIDEvent::Phase::down), touchEvent(x, y, HIDEvent::Phase::up)};
}

std::vector<HIDEvent> key(std::int64_t code) {
    return {keyEvent(code, HIDEvent::Phase::down), keyEvent(code, HIDEvent::Phase::up)};
}

std::vector<HIDEvent> button(const std::string& name, bool down) {
    HIDEvent event;
    event.kind = HIDEvent::Kind::button;
    event.phase = down ? HIDEvent::Phase::down : HIDEvent::Phase::up;
    event.button = name;
    return {event};
}

std::vector<HIDEvent> type(const std::string& text) {
    std::vector<HIDEvent> events;
    for (const char character : text) {
        std::int64_t code = 0;
        bool shifted = false;
        if (character >= 'a' && character <= 'z') {
            code = 4 + (character - 'a');
        } else if (character >= 'A' && character <= 'Z') {
            code = 4 + (character - 'A');
            shifted = true;
        } else if (character >= '1' && character <= '9') {
            code = 30 + (character - '1');
        } else if (character == '0') {
            code = 39;
        } else if (character == ' ') {
            code = space;
        } else {
            throw UsageError(std::string("type knows letters, digits and spaces, not ") +
                             (static_cast<unsigned char>(character) < 0x20
                                  ? "a control character"
                                  : std::string(1, character)));
        }
        if (shifted) events.push_back(keyEvent(leftShift, HIDEvent::Phase::down));
        for (auto& event : key(code)) events.push_back(event);
        if (shifted) events.push_back(keyEvent(leftShift, HIDEvent::Phase::up));
    }
    return events;
}

std::vector<SwipePoint> swipe(const SwipeCommand& command) {
    constexpr double interval = 1.0 / 60;
    const auto steps = std::max<long>(1, std::lround(command.seconds / interval));
    std::vector<SwipePoint> points;
    points.reserve(static_cast<std::size_t>(steps) + 1);
    for (long step = 0; step <= steps; ++step) {
        const double fraction = static_cast<double>(step) / static_cast<double>(steps);
        points.push_back({command.x1 + (command.x2 - command.x1) * fraction,
                          command.y1 + (command.y2 - command.y1) * fraction,
                          command.seconds * fraction});
    }
    return points;
}

}  // namespace ClientRequests
}  // namespace tavrel::client
