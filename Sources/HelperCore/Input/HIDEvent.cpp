#include "HelperCore/Input/HIDEvent.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace tavrel {

namespace {

using json = nlohmann::json;

[[noreturn]] void wrongType(const json& member, const char* key, const char* wanted) {
    throw json::type_error::create(302,
                                   std::string("type must be ") + wanted + " for \"" + key +
                                       "\" of a HID event, but is " + member.type_name(),
                                   &member);
}

/// The member, or nothing when it is absent or null.
const json* member(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

const json& required(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value)
        throw json::out_of_range::create(403, std::string("key '") + key + "' not found", &object);
    return *value;
}

const std::string& stringMember(const json& value, const char* key) {
    if (!value.is_string()) wrongType(value, key, "string");
    return value.get_ref<const std::string&>();
}

double numberMember(const json& value, const char* key) {
    if (!value.is_number()) wrongType(value, key, "number");
    return value.get<double>();
}

std::int64_t integerMember(const json& value, const char* key) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(number);
    } else if (value.is_number_float()) {
        // 4.0 is the integer 4; 4.5 or 1e300 is no integer at all.
        double number = value.get<double>();
        if (std::trunc(number) == number && number >= -0x1p63 && number < 0x1p63)
            return static_cast<std::int64_t>(number);
    } else {
        wrongType(value, key, "number");
    }
    throw json::out_of_range::create(
        406, std::string("number ") + value.dump() + " for \"" + key + "\" is not a 64-bit integer",
        &value);
}

HIDEvent::Kind kindNamed(const json& value) {
    const std::string& text = stringMember(value, "kind");
    if (text == "touch") return HIDEvent::Kind::touch;
    if (text == "button") return HIDEvent::Kind::button;
    if (text == "key") return HIDEvent::Kind::key;
    throw json::other_error::create(
        501, "\"kind\" of a HID event is touch, button or key, not " + value.dump(), &value);
}

HIDEvent::Phase phaseNamed(const json& value) {
    const std::string& text = stringMember(value, "phase");
    if (text == "down") return HIDEvent::Phase::down;
    if (text == "up") return HIDEvent::Phase::up;
    throw json::other_error::create(
        501, "\"phase\" of a HID event is down or up, not " + value.dump(), &value);
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
    if (!object.is_object())
        throw json::type_error::create(
            302, std::string("type must be object for a HID event, but is ") + object.type_name(),
            &object);
    HIDEvent event;
    event.kind = kindNamed(required(object, "kind"));
    event.phase = phaseNamed(required(object, "phase"));
    if (const json* x = member(object, "x")) event.x = numberMember(*x, "x");
    if (const json* y = member(object, "y")) event.y = numberMember(*y, "y");
    if (const json* button = member(object, "button"))
        event.button = stringMember(*button, "button");
    if (const json* code = member(object, "code")) event.code = integerMember(*code, "code");
    if (const json* finger = member(object, "finger")) {
        event.finger = integerMember(*finger, "finger");
        if (event.finger < 0 || event.finger >= HIDEvent::fingers)
            throw json::out_of_range::create(
                406, "\"finger\" of a HID event is 0 or 1, not " + finger->dump(), finger);
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
