#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "HelperCore/Base/Log.hpp"
#include "HelperCore/Server/Device.hpp"

namespace tavrel {

/// What differs between serving a simulator and a cabled device.
struct ServeLoopOptions {
    /// The Unix socket path.
    std::string socket;
    /// The host's process; its end stops the helper.
    std::optional<std::int32_t> parentPid;
    /// Called once the socket listens (the "serving" line belongs here, not before).
    std::function<void()> listening;
    /// Starts the device's warm-up; called once, after accepting has begun.
    std::function<void()> startWarming;
    /// Nothing while the device is usable, else why it is not; called every second on the main
    /// queue.
    std::function<std::optional<std::string>()> gone;
    /// Releases the device before the process ends; called on the main queue.
    std::function<void()> closes;
    /// Seconds of the screen kept for a replay; 0 keeps none.
    std::int64_t replaySeconds = 0;
};

/// Serves `device` on the socket until SIGTERM or SIGINT, the end of the parent process or the
/// device going away, then logs "stopping: {reason}", closes the listener (removing the socket
/// file if it is still its own), calls `closes` and ends the process with status 0. A socket
/// that cannot be listened on, or a thread of the signal watcher or the event loop that the
/// system refuses, ends it with status 3, its message on standard error and no socket file left;
/// "serving" is logged (through `listening`) only once listening succeeded. A warm-up that cannot
/// start is a warning. Takes over the calling (main)
/// thread and never returns; open connections are not drained, the process ends under them.
[[noreturn]] void serve(Device& device, const ServeLoopOptions& options, const Log& log);

}  // namespace tavrel
