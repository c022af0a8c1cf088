#pragma once

#include <optional>
#include <string>

#include "HelperCore/Commands/Arguments.hpp"
#include "HelperCore/Commands/SelfCheckReport.hpp"

namespace tavrel {

/// The `serve` command: opens the simulator (status 3 with the failure on standard error when
/// it cannot), logs "serving {udid} on {socket} with CoreSimulator {version}" and serves it
/// until a signal, the parent's end or the simulator's shutdown ("the simulator is no longer
/// booted"). Never returns.
[[noreturn]] void serveSimulator(const ServeOptions& options);

/// The `self-check` command's report: the four checks over the opened simulator, or the single
/// part "device" with the opening failure.
SelfCheckReport selfCheckSimulator(const DeviceOptions& options);

/// The CoreSimulator version of the selected Xcode's frameworks; nothing when they cannot be
/// loaded or do not tell it.
std::optional<std::string> simulatorFrameworksVersion();

}  // namespace tavrel
