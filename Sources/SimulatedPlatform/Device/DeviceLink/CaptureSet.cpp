#include "SimulatedPlatform/Device/DeviceLink/CaptureSet.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tavrel::sim {
namespace {

fs::path capturesOf(const fs::path& directory) {
    return directory / "captures";
}

fs::path recordPath(const fs::path& directory, const std::string& id) {
    return capturesOf(directory) / (id + ".json");
}

std::vector<CaptureRecord> recordsOf(const fs::path& directory) {
    std::vector<CaptureRecord> records;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(capturesOf(directory), error)) {
        if (entry.path().extension() != ".json") continue;
        std::ifstream in(entry.path());
        auto json = nlohmann::json::parse(in, nullptr, false);
        if (!json.is_object()) continue;
        CaptureRecord record;
        record.id = json.value("id", "");
        record.name = json.value("name", "");
        record.landscape = json.value("landscape", false);
        record.pluggedNs = json.value("plugged_ns", uint64_t{0});
        record.directory = directory;
        if (record.id + ".json" == entry.path().filename().string()) records.push_back(record);
    }
    return records;
}

fs::path permissionPath() {
    fs::path home;
    if (const char* variable = std::getenv("HOME"); variable && *variable) {
        home = variable;
    } else if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) {
        home = entry->pw_dir;
    } else {
        throw std::runtime_error("no home directory (HOME is not set)");
    }
    return home / "Library" / "Application Support" / "com.apple.TCC" / "camera";
}

}  // namespace

CaptureRecord plugCapture(const DeviceRecord& device, const std::string& name, bool landscape) {
    if (device.state != "Booted")
        throw std::runtime_error("the device " + device.udid + " is not booted (" + device.state +
                                 ")");
    CaptureRecord record;
    record.id = makeUDID();
    record.name = name.empty() ? device.name : name;
    record.landscape = landscape;
    record.pluggedNs =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count());
    record.directory = device.directory;
    fs::create_directories(capturesOf(device.directory));
    const nlohmann::json json = {{"id", record.id},
                                 {"name", record.name},
                                 {"landscape", record.landscape},
                                 {"plugged_ns", record.pluggedNs}};
    const auto path = recordPath(device.directory, record.id);
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << json.dump();
        if (!out.flush()) throw std::runtime_error("cannot write " + temporary.string());
    }
    fs::rename(temporary, path);
    return record;
}

void unplugCapture(const DeviceSet& set, const std::string& id) {
    for (const auto& device : set.devices()) {
        std::error_code error;
        if (fs::remove(recordPath(device.directory, id), error)) return;
    }
    throw std::runtime_error("no capture device " + id + " is plugged in");
}

void unplugAll(const fs::path& directory) {
    std::error_code error;
    fs::remove_all(capturesOf(directory), error);
}

std::vector<CaptureRecord> captureDevices(const DeviceSet& set) {
    std::vector<CaptureRecord> all;
    for (const auto& device : set.devices()) {
        if (device.state != "Booted") continue;
        auto records = recordsOf(device.directory);
        all.insert(all.end(), records.begin(), records.end());
    }
    std::stable_sort(all.begin(), all.end(), [](const CaptureRecord& a, const CaptureRecord& b) {
        return a.pluggedNs != b.pluggedNs ? a.pluggedNs < b.pluggedNs : a.id < b.id;
    });
    return all;
}

bool captureConnected(const CaptureRecord& record) {
    std::error_code error;
    return fs::exists(recordPath(record.directory, record.id), error) &&
           DeviceSet::state(record.directory) == "Booted";
}

std::string cameraPermission() {
    std::ifstream in(permissionPath());
    std::string value;
    if (!(in >> value)) return "granted";
    return value;
}

void setCameraPermission(const std::string& value) {
    if (value != "granted" && value != "denied" && value != "undetermined")
        throw std::runtime_error("the camera permission is granted, denied or undetermined");
    const auto path = permissionPath();
    fs::create_directories(path.parent_path());
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << value << "\n";
        if (!out.flush()) throw std::runtime_error("cannot write " + temporary.string());
    }
    fs::rename(temporary, path);
}

}  // namespace tavrel::sim
