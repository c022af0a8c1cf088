// Starting and stopping a simulated device's process.
#pragma once

#include <filesystem>
#include <string>

namespace tavrel::sim {

/// Starts tavrel-simdevice (found at `program`) for the device in `directory`, detached
/// from the caller (its own session, not the caller's child), and returns once it is
/// "Booted" with its first frame drawn. A booted device is left alone; a device being
/// booted by someone else is waited for. Throws std::runtime_error.
void bootDevice(const std::filesystem::path& directory, const std::filesystem::path& program);

/// Stops the device's process (SIGTERM, then SIGKILL after 5 seconds) and returns once it
/// is "Shutdown"; removes files a killed process left. A shut-down device is left alone.
void shutdownDevice(const std::filesystem::path& directory);

}  // namespace tavrel::sim
