#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>

namespace tavrel {

/// One input event of a `hid` request: a finger going down or lifting at a point (in the
/// screen's points), a hardware button pressed or released, a keyboard key pressed or released.
/// A finger that moves is a further "down" while it is down. Two fingers can touch at once:
/// `finger` 0 (the default, all a one-finger host knows) and 1.
struct HIDEvent {
    enum class Kind { touch, button, key };
    enum class Phase { down, up };

    Kind kind = Kind::touch;
    Phase phase = Phase::down;
    double x = 0;
    double y = 0;
    std::string button;
    std::int64_t code = 0;
    std::int64_t finger = 0;

    static constexpr std::int64_t fingers = 2;

    bool operator==(const HIDEvent&) const = default;

    /// Reads an event object: "kind" and "phase" are required, the rest default (0, 0, "", 0,
    /// finger 0); a null member counts as absent and unknown members are ignored. Throws a
    /// `JSONMemberError` describing the first problem (not an object, a missing or mistyped
    /// member, an unknown kind or phase, a finger other than 0 or 1); the request layer turns
    /// it into its own failure.
    static HIDEvent decode(const nlohmann::json& json);
};

const char* rawValue(HIDEvent::Kind kind);
const char* rawValue(HIDEvent::Phase phase);

/// Writes all six members of a one-finger host whatever the kind, and "finger" only when it is
/// not 0, so that what such a host reads stays byte for byte the same.
void to_json(nlohmann::json& json, const HIDEvent& event);
void from_json(const nlohmann::json& json, HIDEvent& event);

/// A usage on a page of the USB HID usage tables.
struct HIDUsage {
    std::uint32_t page = 0;
    std::uint32_t code = 0;

    bool operator==(const HIDUsage&) const = default;

    // Consumer page (0x0C) buttons of a phone.
    static const HIDUsage power;
    static const HIDUsage menu;
    static const HIDUsage voiceCommand;
};

inline constexpr HIDUsage HIDUsage::power{0x0C, 0x30};
inline constexpr HIDUsage HIDUsage::menu{0x0C, 0x40};
inline constexpr HIDUsage HIDUsage::voiceCommand{0x0C, 0xCF};

/// The phase of one digitizer report; the raw values go on the wire unchanged.
enum class DigitizerPhase : std::uint64_t { start = 0, position = 1, end = 2 };

/// The phase of a raw value, or nothing for 3 and above.
std::optional<DigitizerPhase> digitizerPhase(std::uint64_t rawValue);
inline std::uint64_t rawValue(DigitizerPhase phase) {
    return static_cast<std::uint64_t>(phase);
}

/// The transport-neutral form of input that a HID transport sends: a digitizer report, a
/// consumer-page button, or a key of the keyboard usage page.
class HIDStep {
  public:
    /// One finger's part in a digitizer report.
    struct Contact {
        DigitizerPhase phase;
        double x;  // fraction of the screen's width, 0...1
        double y;  // fraction of the screen's height, 0...1
        bool operator==(const Contact&) const = default;
    };
    /// One digitizer report: every finger that touches at that moment, so that the device sees
    /// two fingers together, never two reports that each look like a lone finger. A finger
    /// that takes no part (not down, and not lifting now) is absent; at least one is present.
    struct Touch {
        std::optional<Contact> one;  // finger 0
        std::optional<Contact> two;  // finger 1
        bool operator==(const Touch&) const = default;
    };
    struct Button {
        HIDUsage usage;
        bool down;
        bool operator==(const Button&) const = default;
    };
    struct Key {
        std::uint32_t code;  // keyboard usage, 1...65535
        bool down;
        bool operator==(const Key&) const = default;
    };
    using Storage = std::variant<Touch, Button, Key>;

    HIDStep(Touch touch) : storage_(touch) {}
    HIDStep(Button button) : storage_(button) {}
    HIDStep(Key key) : storage_(key) {}

    /// A report of finger 0 alone, the only kind a one-finger host makes.
    static HIDStep touch(DigitizerPhase phase, double x, double y) {
        return Touch{Contact{phase, x, y}, std::nullopt};
    }
    static HIDStep touch(std::optional<Contact> one, std::optional<Contact> two) {
        return Touch{one, two};
    }
    static HIDStep button(HIDUsage usage, bool down) { return Button{usage, down}; }
    static HIDStep key(std::uint32_t code, bool down) { return Key{code, down}; }

    const Storage& storage() const { return storage_; }
    const Touch* asTouch() const { return std::get_if<Touch>(&storage_); }
    const Button* asButton() const { return std::get_if<Button>(&storage_); }
    const Key* asKey() const { return std::get_if<Key>(&storage_); }

    bool operator==(const HIDStep&) const = default;

    /// A short readable form for logs and test output, e.g. "touch(start, 0.5, 0.5)", or with
    /// two fingers "touch(position, 0.5, 0.5 | start, 0.2, 0.3)" ("-" for an absent finger).
    std::string description() const;

  private:
    Storage storage_;
};

}  // namespace tavrel
