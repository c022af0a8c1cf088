#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Commands/CaptureOptions.hpp"
#include "HelperCore/Input/TransportPolicy.hpp"

namespace tavrel {

/// The device a simulator command works on.
struct DeviceOptions {
    /// The value of `--udid` unchanged, never empty.
    std::string udid;
    TransportPolicy::Preference hid = TransportPolicy::Preference::automatic;

    bool operator==(const DeviceOptions&) const = default;

    /// Removes "udid" and "hid" from `flags`; throws `HelperFailure` 400.
    static DeviceOptions take(CommandFlags& flags);
};

struct ServeOptions {
    DeviceOptions device;
    /// Path of the Unix socket to serve on, never empty.
    std::string socket;
    std::optional<std::int32_t> parentPid;
    bool idleKeyFrames = true;
    Log::Level logLevel = Log::Level::info;
    /// Seconds of the screen kept for a replay; 0 keeps none.
    std::int64_t replaySeconds = 0;

    bool operator==(const ServeOptions&) const = default;
};

/// One run of the helper, as the command line asks for it. Parsing is pure: it opens no file
/// and touches no device or environment.
struct Command {
    struct SelfCheck {
        DeviceOptions device;
        bool operator==(const SelfCheck&) const = default;
    };
    struct Render {
        /// The job file's absolute path, unchanged.
        std::string job;
        bool operator==(const Render&) const = default;
    };
    struct Version {
        bool operator==(const Version&) const = default;
    };
    /// serve, self-check, render, capture, version.
    using Value = std::variant<ServeOptions, SelfCheck, Render, CaptureOptions, Version>;

    Value value;

    bool operator==(const Command&) const = default;

    /// The usage text: eight lines, no newline after the last. Continuation lines start
    /// under the first flag of the line above them.
    static constexpr std::string_view usage =
        "usage: tavrel-helper version\n"
        "       tavrel-helper serve --udid UDID --socket PATH [--parent-pid PID] "
        "[--hid auto|dtuhid|indigo]\n"
        "                           [--idle-key-frames on|off] [--replay-seconds N] "
        "[--log-level debug|info|warning|error]\n"
        "       tavrel-helper self-check --udid UDID [--hid auto|dtuhid|indigo]\n"
        "       tavrel-helper render --job PATH\n"
        "       tavrel-helper capture --udid UDID --name NAME --socket PATH --width-px N "
        "--height-px N --scale N\n"
        "                             [--capture-id ID] [--reference PATH] [--parent-pid PID] "
        "[--wait SECONDS] [--linger SECONDS]\n"
        "                             [--idle-key-frames on|off] [--replay-seconds N] "
        "[--log-level debug|info|warning|error]";

    /// `arguments` are the process arguments after the program path. Throws `HelperFailure`
    /// (400, or the 502 of an impossible capture screen size) whose message is shown as is.
    static Command parse(const std::vector<std::string>& arguments);

    /// Pairs of "--name" and value; a later value for a name wins. Values are never looked at.
    static CommandFlags flags(const std::vector<std::string>& arguments);
    /// Throws naming the first flag, in ascending order, that the command did not take.
    static void refuseLeftovers(const CommandFlags& flags);

    /// A base-10 signed 32-bit process id of 2 or more.
    static std::int32_t pid(std::string_view text);
    /// `--idle-key-frames`: exactly "on" or "off".
    static bool onOff(std::string_view text);
    /// `--replay-seconds`: a whole number of seconds, written in decimal digits alone, from 0
    /// to `mostReplaySeconds`.
    static std::int64_t replaySeconds(std::string_view text);
    static constexpr std::int64_t mostReplaySeconds = 120;
    static Log::Level logLevel(std::string_view text);
};

/// A refusal of the command line that ends with the usage text.
std::string withUsage(std::string_view message);

}  // namespace tavrel
