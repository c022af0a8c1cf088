// A device set in a temporary HOME for one test, and a way to run tavrel-simctl in it.
// On destruction every device still running is shut down (killed if need be), the folder
// removed and HOME restored.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"

namespace tavrel::sim::testing {

struct SimctlResult {
    int status = -1;
    std::string out;
    std::string err;
};

/// Runs build/tavrel-simctl with `args` (no shell) and collects its output.
SimctlResult simctl(const std::vector<std::string>& args);

class TemporaryDeviceSet {
  public:
    TemporaryDeviceSet();
    ~TemporaryDeviceSet();
    TemporaryDeviceSet(const TemporaryDeviceSet&) = delete;
    TemporaryDeviceSet& operator=(const TemporaryDeviceSet&) = delete;

    const std::filesystem::path& home() const { return home_; }
    DeviceSet set() const;
    /// Creates a device with tavrel-simctl and returns its UDID (fails the test otherwise).
    std::string create(const std::string& name, const std::string& type = "iPhone-15-Pro",
                       const std::string& runtime = "modern");
    /// Creates and boots a device; returns its folder.
    std::filesystem::path boot(const std::string& name, const std::string& type = "iPhone-15-Pro",
                               const std::string& runtime = "modern");

  private:
    std::filesystem::path home_;
    std::optional<std::string> previousHome_;
};

}  // namespace tavrel::sim::testing
