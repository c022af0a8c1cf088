// The set of simulated devices: one folder per device under
// $HOME/Library/Developer/CoreSimulator/Devices/<UDID>/.
//
// A device folder holds "device.json" (the record), and while the device process runs,
// "device.lock" (locked by the process for its whole life; holds its pid), "device.pid"
// (written once the first frame is drawn and the socket listens) and "device.sock" (its socket).
// The state is read from the lock, never from files alone, so a device process killed
// with SIGKILL reads "Shutdown" at once; its stale files are removed at the next boot.
//
// All functions are safe to call from any thread; failures throw std::runtime_error with
// a message fit for a user.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::sim {

struct DeviceType {
    std::string name;  // "iPhone-15-Pro"
    int widthPx = 0;
    int heightPx = 0;
    double scale = 1;
    int widthPt() const { return static_cast<int>(widthPx / scale + 0.5); }
    int heightPt() const { return static_cast<int>(heightPx / scale + 0.5); }
};

/// The known device types, in listing order.
const std::vector<DeviceType>& deviceTypes();
/// The type of that name, or nothing.
std::optional<DeviceType> deviceType(const std::string& name);

struct DeviceRecord {
    std::string udid;  // upper-case canonical UUID text
    std::string name;
    std::string type;     // a DeviceType name
    std::string runtime;  // "modern" or "legacy"
    std::string state;    // "Shutdown", "Booting" or "Booted" (read, never stored)
    std::filesystem::path directory;
};

class DeviceSet {
  public:
    /// The default set: $HOME/Library/Developer/CoreSimulator/Devices.
    DeviceSet();
    explicit DeviceSet(std::filesystem::path root);

    const std::filesystem::path& root() const { return root_; }
    /// Every device, sorted by name then UDID; a missing folder is an empty set.
    std::vector<DeviceRecord> devices() const;
    /// The device with exactly this UDID, or nothing.
    std::optional<DeviceRecord> device(const std::string& udid) const;
    /// Makes a device (the folder on first use). Throws on an unknown type or runtime.
    DeviceRecord create(const std::string& name, const std::string& type,
                        const std::string& runtime = "modern");
    /// Removes a device; throws when unknown or not shut down.
    void remove(const std::string& udid);

    /// The state of the device in `directory`, read from its lock and pid files.
    static std::string state(const std::filesystem::path& directory);
    /// The pid of the running device process, or nothing.
    static std::optional<int> pid(const std::filesystem::path& directory);
    static std::filesystem::path socketPath(const std::filesystem::path& directory);
    static std::filesystem::path lockPath(const std::filesystem::path& directory);
    static std::filesystem::path pidPath(const std::filesystem::path& directory);

  private:
    std::filesystem::path root_;
};

/// A fresh random UUID, upper-case canonical text.
std::string makeUDID();

}  // namespace tavrel::sim
