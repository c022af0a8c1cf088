#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "HelperCore/Input/HIDEvent.hpp"
#include "HelperCore/Input/HIDTransport.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"

namespace tavrel {

/// The one object through which input reaches a device: it turns the events of an input
/// request into steps and sends them through its transport. It keeps the only input state,
/// which fingers are down and where, across requests and connections. Shared by every
/// connection of a device; all operations are safe to call from several threads.
class InputDriver {
  public:
    /// `transport` must not be null. `screen` is the geometry when the driver is made; its
    /// point size scales touches.
    InputDriver(std::shared_ptr<HIDTransport> transport, ScreenGeometry screen);

    const std::shared_ptr<HIDTransport>& transport() const { return transport_; }
    const ScreenGeometry& screen() const { return screen_; }

    /// Translates the events in order, atomically with respect to other requests. A touch
    /// "down" gives `start` for its finger, or `position` while that finger is already down;
    /// an "up" gives `end`. Each touch event gives one report holding every finger that is
    /// down, the others at their last points with `position`. Throws the first event's
    /// `HelperFailure`: 400 for a refused event, 409 "{transport} input carries one finger"
    /// for finger 1 on a transport of one; a refused request leaves the fingers as they were.
    std::vector<HIDStep> steps(const std::vector<HIDEvent>& events);

    /// Computes all steps first (nothing is sent when one event is refused), then sends them in
    /// order outside the lock. The first failing send ends the play and propagates.
    void play(const std::vector<HIDEvent>& events);

    /// The steps of a named button: "home", "lock", "side", "siri", "apple_pay" (a double press
    /// that ends held). Throws `HelperFailure` 400 "not a button: {name}".
    static std::vector<HIDStep> button(std::string_view name, bool down);

    /// The step of a keyboard usage 1...65535. Throws `HelperFailure` 400
    /// "not a keyboard usage: {code}".
    static HIDStep key(std::int64_t code, bool down);

  private:
    struct Finger {
        bool touching = false;
        double x = 0;  // where it last was, as fractions of the screen
        double y = 0;
    };
    using Fingers = std::array<Finger, HIDEvent::fingers>;

    HIDStep touch(const HIDEvent& event, Fingers& fingers) const;

    const std::shared_ptr<HIDTransport> transport_;
    const ScreenGeometry screen_;
    std::mutex lock_;
    Fingers fingers_;  // guarded by `lock_`
};

}  // namespace tavrel
