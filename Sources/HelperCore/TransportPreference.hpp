#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel::TransportPolicy {

/// Which input transport the command line asks for (`--hid`); the choice among transports
/// belongs to the input driver.
enum class Preference { auto_, dtuhid, indigo };

/// Every preference, in their order.
inline constexpr std::array<Preference, 3> allPreferences = {Preference::auto_, Preference::dtuhid,
                                                             Preference::indigo};

/// The raw string: "auto", "dtuhid" or "indigo".
constexpr std::string_view name(Preference preference) {
    switch (preference) {
        case Preference::dtuhid:
            return "dtuhid";
        case Preference::indigo:
            return "indigo";
        case Preference::auto_:
            break;
    }
    return "auto";
}

/// The preference whose raw string is exactly `text` (case-sensitive), else none.
constexpr std::optional<Preference> preferenceNamed(std::string_view text) {
    for (Preference preference : allPreferences) {
        if (name(preference) == text) return preference;
    }
    return std::nullopt;
}

}  // namespace tavrel::TransportPolicy
