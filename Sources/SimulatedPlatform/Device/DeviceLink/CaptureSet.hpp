// The cabled capture devices a simulated device offers: one record per plug in the device's
// folder, "captures/<ID>.json" ({"id", "name", "landscape", "plugged_ns"}). A capture device
// is there while its record is and the device is booted, so a device that shuts down or dies
// takes its capture devices with it; its records are removed at its next boot or shutdown.
//
// Safe from any thread and process (records are written whole by a rename); failures throw
// std::runtime_error with a message fit for a user.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"

namespace tavrel::sim {

struct CaptureRecord {
    std::string id;    // unique, upper-case canonical UUID text
    std::string name;  // the localized name
    bool landscape = false;
    uint64_t pluggedNs = 0;           // wall clock, for listing in plug order
    std::filesystem::path directory;  // the device's folder
};

/// Offers a booted device's screen as a capture device; returns its record.
CaptureRecord plugCapture(const DeviceRecord& device, const std::string& name, bool landscape);
/// Pulls the cable of a capture device of any device in `set`; throws when there is none.
void unplugCapture(const DeviceSet& set, const std::string& id);
/// Removes every capture device of the device in `directory`.
void unplugAll(const std::filesystem::path& directory);

/// The capture devices of every booted device in `set`, in plug order.
std::vector<CaptureRecord> captureDevices(const DeviceSet& set);
/// Whether that capture device is still plugged into a booted device.
bool captureConnected(const CaptureRecord& record);

/// The camera permission of this user's programs, as a test fixture sets it in
/// $HOME/Library/Application Support/com.apple.TCC/camera: "granted" (also when never set),
/// "denied", or "undetermined" (not asked yet: a request waits until it is set otherwise).
std::string cameraPermission();
/// Throws on a value other than those three.
void setCameraPermission(const std::string& value);

}  // namespace tavrel::sim
