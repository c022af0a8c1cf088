#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"

namespace tavrel {

/// The flags of one command line: name without the leading "--" to value. Sorted, so the
/// first leftover is the first in ascending order.
using CommandFlags = std::map<std::string, std::string>;

/// Removes `name` from the flags and returns its value, if it was given.
std::optional<std::string> takeFlag(CommandFlags& flags, const std::string& name);

/// The parsed `capture` command line: which cabled device to show and how to serve it.
struct CaptureOptions {
    static constexpr double defaultWaitS = 15;
    static constexpr double waitRangeLow = 1;
    static constexpr double waitRangeHigh = 120;
    static constexpr double defaultLingerS = 30;
    static constexpr double lingerRangeLow = 0;
    static constexpr double lingerRangeHigh = 600;

    std::string udid;
    /// The device's name as the capture device reports it.
    std::string name;
    std::string socket;
    ScreenGeometry screen;
    /// The capture device's unique identifier, used unchanged.
    std::optional<std::string> captureId;
    /// Absolute path of a picture of the device's screen.
    std::optional<std::string> reference;
    std::optional<std::int32_t> parentPid;
    bool idleKeyFrames = true;
    double waitS = defaultWaitS;
    double lingerS = defaultLingerS;
    Log::Level logLevel = Log::Level::info;
    /// Seconds of the screen kept for a replay; 0 keeps none.
    std::int64_t replaySeconds = 0;

    bool operator==(const CaptureOptions&) const = default;

    /// Removes the capture flags from `flags` and returns the options. Throws `HelperFailure`
    /// 400 for a missing or malformed flag, and passes on the 502 of `ScreenGeometry::of`.
    /// Leaves the other flags for `Command::refuseLeftovers`.
    static CaptureOptions take(CommandFlags& flags);
};

}  // namespace tavrel
