// Reads arbitrary text as a HID event object, the way a `hid` request's events arrive, and
// drives the decoded events through the input driver.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSONMembers.hpp"
#include "HelperCore/Input/HIDEvent.hpp"
#include "HelperCore/Input/InputDriver.hpp"

namespace {

using tavrel::HIDStep;

class CheckingTransport : public tavrel::HIDTransport {
  public:
    std::string name() const override { return "fuzz"; }
    int fingers() const override { return 2; }
    void send(const HIDStep& step) override {
        if (const HIDStep::Touch* touch = step.asTouch()) {
            if (!touch->one && !touch->two) std::abort();
            // Fractions of the screen, whatever the points were.
            for (const auto& finger : {touch->one, touch->two}) {
                if (finger &&
                    !(finger->x >= 0 && finger->x <= 1 && finger->y >= 0 && finger->y <= 1))
                    std::abort();
            }
        } else if (const HIDStep::Key* key = step.asKey()) {
            if (key->code < 1 || key->code > 65535) std::abort();
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tavrel::InputDriver driver(std::make_shared<CheckingTransport>(),
                                      tavrel::ScreenGeometry{1179, 2556, 393, 852, 3});
    nlohmann::json json = nlohmann::json::parse(data, data + size, nullptr, false);
    if (json.is_discarded()) return 0;
    tavrel::HIDEvent event;
    try {
        event = tavrel::HIDEvent::decode(json);
    } catch (const tavrel::JSONMemberError&) {
        return 0;
    }
    // What is written reads back as the same event.
    if (tavrel::HIDEvent::decode(nlohmann::json(event)) != event) std::abort();
    try {
        driver.play({event});
    } catch (const tavrel::HelperFailure& failure) {
        if (failure.status() != 400) std::abort();
    }
    return 0;
}
