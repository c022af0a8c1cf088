#include "HelperCore/Input/HIDEvent.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "HelperCore/Base/JSONMembers.hpp"

namespace tavrel {

namespace {

using json = nlohmann::json;

HIDEvent::Kind kindNamed(const JSONMembers& members) {
    const std::string text = members.requiredString("kind");
    if (text == "touch") return HIDEvent::Kind::touch;
    if (text == "button") return HIDEvent::Kind::button;
    if (text == "key") return HIDEvent::Kind::key;
    throw JSONMembers::notAllowed("\"kind\" of a HID event is touch, button or key, not " +
                                  members.required("kind").dump());
}

HIDEvent::Phase phaseNamed(const JSONMembers& members) {
    const std::string text = members.requiredString("phase");
    if (text == "down") return HIDEvent::Phase::down;
    if (text == "up") return HIDEvent::Phase::up;
    throw JSONMembers::notAllowed("\"phase\" of a HID event is down or up, not " +
                                  members.required("phase").dump());
}

std::string shortest(double value) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

}  // namespace

const char* rawValue(HIDEvent::Kind kind) {
    switch (kind) {
        case HIDEvent::Kind::touch:
            return "touch";
        case HIDEvent::Kind::button:
            return "button";
        case HIDEvent::Kind::key:
            return "key";
    }
    return "touch";
}

const char* rawValue(HIDEvent::Phase phase) {
    return phase == HIDEvent::Phase::down ? "down" : "up";
}

HIDEvent HIDEvent::decode(const json& object) {
    const JSONMembers members(object, "a HID event");
    HIDEvent event;
    event.kind = kindNamed(members);
    event.phase = phaseNamed(members);
    if (auto x = members.number("x")) event.x = *x;
    if (auto y = members.number("y")) event.y = *y;
    if (auto button = members.string("button")) event.button = std::move(*button);
    if (auto code = members.integer("code")) event.code = *code;
    if (auto finger = members.integer("finger")) {
        if (*finger < 0 || *finger >= HIDEvent::fingers)
            throw JSONMembers::notAllowed("\"finger\" of a HID event is 0 or 1, not " +
                                          members.required("finger").dump());
        event.finger = *finger;
    }
    return event;
}

void to_json(json& object, const HIDEvent& event) {
    object = json{{"kind", rawValue(event.kind)},
                  {"phase", rawValue(event.phase)},
                  {"x", event.x},
                  {"y", event.y},
                  {"button", event.button},
                  {"code", event.code}};
    if (event.finger != 0) object["finger"] = event.finger;
}

void from_json(const json& object, HIDEvent& event) {
    event = HIDEvent::decode(object);
}

std::optional<DigitizerPhase> digitizerPhase(std::uint64_t rawValue) {
    if (rawValue > 2) return std::nullopt;
    return static_cast<DigitizerPhase>(rawValue);
}

std::string HIDStep::description() const {
    if (const Touch* touch = asTouch()) {
        auto contact = [](const std::optional<Contact>& finger) -> std::string {
            if (!finger) return "-";
            static const char* const phases[] = {"start", "position", "end", "?"};
            std::uint64_t phase = std::min<std::uint64_t>(rawValue(finger->phase), 3);
            return std::string(phases[phase]) + ", " + shortest(finger->x) + ", " +
                   shortest(finger->y);
        };
        std::string text = "touch(" + contact(touch->one);
        if (touch->two) text += " | " + contact(touch->two);
        return text + ")";
    }
    const char* state = nullptr;
    std::string what;
    if (const Button* button = asButton()) {
        what = "button(" + std::to_string(button->usage.page) + ":" +
               std::to_string(button->usage.code);
        state = button->down ? "down" : "up";
    } else {
        const Key* key = asKey();
        what = "key(" + std::to_string(key->code);
        state = key->down ? "down" : "up";
    }
    return what + ", " + state + ")";
}

}  // namespace tavrel
