#include "HelperCore/Input/InputDriver.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

namespace {

/// A coordinate as a fraction of the screen's extent, clamped to 0...1; 0 when either number
/// makes no sense (not finite, an empty screen).
double fraction(double points, int extent) {
    double value = std::isfinite(points) && extent > 0 ? points / extent : 0;
    if (!(value >= 0)) return 0;
    if (value >= 1) return 1;
    return value;
}

}  // namespace

InputDriver::InputDriver(std::shared_ptr<HIDTransport> transport, ScreenGeometry screen)
    : transport_(std::move(transport)), screen_(screen) {
    if (!transport_) throw std::invalid_argument("an input driver needs a transport");
}

std::vector<HIDStep> InputDriver::button(std::string_view name, bool down) {
    if (name == "home") return {HIDStep::button(HIDUsage::menu, down)};
    if (name == "lock" || name == "side") return {HIDStep::button(HIDUsage::power, down)};
    if (name == "siri") return {HIDStep::button(HIDUsage::voiceCommand, down)};
    if (name == "apple_pay") {
        if (!down) return {HIDStep::button(HIDUsage::power, false)};
        return {HIDStep::button(HIDUsage::power, true), HIDStep::button(HIDUsage::power, false),
                HIDStep::button(HIDUsage::power, true)};
    }
    throw HelperFailure("not a button: " + std::string(name), 400);
}

HIDStep InputDriver::key(std::int64_t code, bool down) {
    if (code < 1 || code > 65535)
        throw HelperFailure("not a keyboard usage: " + std::to_string(code), 400);
    return HIDStep::key(static_cast<std::uint32_t>(code), down);
}

HIDStep InputDriver::touch(const HIDEvent& event, Fingers& fingers) const {
    if (event.finger < 0 || event.finger >= HIDEvent::fingers)
        throw HelperFailure("not a finger: " + std::to_string(event.finger), 400);
    if (event.finger >= transport_->fingers())
        throw HelperFailure(transport_->name() + " input carries one finger", 409);
    const auto index = static_cast<std::size_t>(event.finger);
    Finger& finger = fingers[index];
    const Finger& other = fingers[1 - index];

    HIDStep::Contact contact{DigitizerPhase::end, fraction(event.x, screen_.widthPt),
                             fraction(event.y, screen_.heightPt)};
    if (event.phase == HIDEvent::Phase::down)
        contact.phase = finger.touching ? DigitizerPhase::position : DigitizerPhase::start;
    // The finger that stays down is reported where it is, so the device sees both at once.
    std::optional<HIDStep::Contact> resting;
    if (other.touching) resting = HIDStep::Contact{DigitizerPhase::position, other.x, other.y};
    finger = {event.phase == HIDEvent::Phase::down, contact.x, contact.y};
    if (index == 0) return HIDStep::touch(contact, resting);
    return HIDStep::touch(resting, contact);
}

std::vector<HIDStep> InputDriver::steps(const std::vector<HIDEvent>& events) {
    std::vector<HIDStep> steps;
    steps.reserve(events.size());
    std::lock_guard guard(lock_);
    // A refused request sends nothing, so it must not move a finger either: the state is
    // taken over only once every event was accepted.
    Fingers fingers = fingers_;
    for (const HIDEvent& event : events) {
        bool down = event.phase == HIDEvent::Phase::down;
        switch (event.kind) {
            case HIDEvent::Kind::touch:
                steps.push_back(touch(event, fingers));
                break;
            case HIDEvent::Kind::button: {
                std::vector<HIDStep> pressed = button(event.button, down);
                steps.insert(steps.end(), pressed.begin(), pressed.end());
                break;
            }
            case HIDEvent::Kind::key:
                steps.push_back(key(event.code, down));
                break;
        }
    }
    fingers_ = fingers;
    return steps;
}

void InputDriver::play(const std::vector<HIDEvent>& events) {
    // Sending happens without the lock: a transport may block for seconds.
    for (const HIDStep& step : steps(events)) transport_->send(step);
}

}  // namespace tavrel
