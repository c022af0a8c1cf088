#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel {
class HIDTransport;
}

namespace tavrel::TransportPolicy {

/// The `--hid` choice. `automatic` is written "auto" (a C++ keyword cannot name the case).
enum class Preference { automatic, dtuhid, indigo };

inline constexpr std::array<Preference, 3> allPreferences{Preference::automatic, Preference::dtuhid,
                                                          Preference::indigo};

/// "auto", "dtuhid" or "indigo".
const char* rawValue(Preference preference);
/// The preference written exactly (case-sensitive), or nothing.
std::optional<Preference> preferenceNamed(std::string_view text);

/// The first CoreSimulator version with which "dtuhid" is tried under "auto"; older ones
/// publish no digitizer service.
inline constexpr const char* firstDTUHIDCoreSimulator = "1155.4";

/// The transport names to try, in order: the one asked for, or under "auto" "dtuhid" then
/// "indigo" from CoreSimulator 1155.4 on and "indigo" alone for older or unknown versions.
std::vector<std::string> order(Preference preference,
                               const std::optional<std::string>& coreSimulator);

/// Constructs the transports named in `names` in turn and returns the first that constructs.
/// When none does, throws `HelperFailure` 409 "input cannot reach the simulator ({reasons})",
/// the reasons "{name}: {message}" joined with "; " in the order tried.
std::shared_ptr<HIDTransport> firstTransport(
    const std::vector<std::string>& names,
    const std::function<std::shared_ptr<HIDTransport>(const std::string& name)>& construct);

/// Compares two version texts: runs of digits by their value ("1155.10" > "1155.4",
/// "10.0" > "9.9"), everything else character by character. Negative, zero or positive.
int compareVersions(std::string_view left, std::string_view right);

}  // namespace tavrel::TransportPolicy
