#include "SimulatedPlatform/Device/DeviceLink/DeviceSet.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <stdexcept>

#include "SimulatedPlatform/Device/DeviceLink/FileDescriptor.hpp"

namespace fs = std::filesystem;

namespace tavrel::sim {
namespace {

const char* const recordName = "device.json";

fs::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    throw std::runtime_error("no home directory (HOME is not set)");
}

bool isCanonicalUDID(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

std::optional<DeviceRecord> readRecord(const fs::path& directory) {
    std::ifstream in(directory / recordName);
    if (!in) return std::nullopt;
    auto json = nlohmann::json::parse(in, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    DeviceRecord record;
    record.udid = json.value("udid", "");
    record.name = json.value("name", "");
    record.type = json.value("type", "");
    record.runtime = json.value("runtime", "modern");
    if (record.udid != directory.filename().string()) return std::nullopt;
    record.directory = directory;
    record.state = DeviceSet::state(directory);
    return record;
}

void writeAtomically(const fs::path& path, const std::string& text) {
    const fs::path temporary = path.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text;
        if (!out.flush()) throw std::runtime_error("cannot write " + temporary.string());
    }
    fs::rename(temporary, path);
}

}  // namespace

const std::vector<DeviceType>& deviceTypes() {
    static const std::vector<DeviceType> types = {
        {"iPhone-15-Pro", 1179, 2556, 3},
        {"iPhone-SE", 750, 1334, 2},
        {"iPad-Air", 1640, 2360, 2},
    };
    return types;
}

std::optional<DeviceType> deviceType(const std::string& name) {
    for (const auto& type : deviceTypes()) {
        if (type.name == name) return type;
    }
    return std::nullopt;
}

std::string makeUDID() {
    std::random_device random;
    uint8_t bytes[16];
    for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
    bytes[6] = (bytes[6] & 0x0F) | 0x40;  // version 4
    bytes[8] = (bytes[8] & 0x3F) | 0x80;  // variant 1
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

DeviceSet::DeviceSet() : root_(homeDirectory() / "Library/Developer/CoreSimulator/Devices") {}

DeviceSet::DeviceSet(fs::path root) : root_(std::move(root)) {}

std::vector<DeviceRecord> DeviceSet::devices() const {
    std::vector<DeviceRecord> records;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root_, error)) {
        if (!entry.is_directory() || !isCanonicalUDID(entry.path().filename().string())) continue;
        if (auto record = readRecord(entry.path())) records.push_back(std::move(*record));
    }
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
        return a.name != b.name ? a.name < b.name : a.udid < b.udid;
    });
    return records;
}

std::optional<DeviceRecord> DeviceSet::device(const std::string& udid) const {
    if (!isCanonicalUDID(udid)) return std::nullopt;
    return readRecord(root_ / udid);
}

DeviceRecord DeviceSet::create(const std::string& name, const std::string& type,
                               const std::string& runtime) {
    if (name.empty()) throw std::runtime_error("a device needs a name");
    if (!deviceType(type)) {
        throw std::runtime_error("unknown device type: " + type +
                                 " (see tavrel-simctl devicetypes)");
    }
    if (runtime != "modern" && runtime != "legacy") {
        throw std::runtime_error("unknown runtime: " + runtime + " (modern or legacy)");
    }
    const std::string udid = makeUDID();
    const fs::path directory = root_ / udid;
    fs::create_directories(directory);
    nlohmann::json json = {{"udid", udid}, {"name", name}, {"type", type}, {"runtime", runtime}};
    writeAtomically(directory / recordName, json.dump() + "\n");
    return DeviceRecord{udid, name, type, runtime, "Shutdown", directory};
}

void DeviceSet::remove(const std::string& udid) {
    auto record = device(udid);
    if (!record) throw std::runtime_error("no device " + udid);
    if (record->state != "Shutdown") {
        throw std::runtime_error("the device " + udid + " is " + record->state +
                                 "; shut it down first");
    }
    fs::remove_all(record->directory);
}

std::string DeviceSet::state(const fs::path& directory) {
    FileDescriptor fd(open(lockPath(directory).c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) return "Shutdown";
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    // Asks without taking the lock, so a device starting right now is never kept out.
    if (fcntl(fd.get(), F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return "Shutdown";
    return fs::exists(pidPath(directory)) ? "Booted" : "Booting";
}

std::optional<int> DeviceSet::pid(const fs::path& directory) {
    if (state(directory) == "Shutdown") return std::nullopt;
    std::ifstream in(lockPath(directory));
    int pid = 0;
    if (in >> pid && pid > 0) return pid;
    return std::nullopt;
}

fs::path DeviceSet::socketPath(const fs::path& directory) {
    return directory / "device.sock";
}
fs::path DeviceSet::lockPath(const fs::path& directory) {
    return directory / "device.lock";
}
fs::path DeviceSet::pidPath(const fs::path& directory) {
    return directory / "device.pid";
}

}  // namespace tavrel::sim
