#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "SimulatedPlatform/Device/Support/TemporaryDeviceSet.hpp"
#include "Support/WaitUntil.hpp"

namespace fs = std::filesystem;

namespace tavrel::sim {
namespace {

using testing::simctl;
using testing::TemporaryDeviceSet;

// Running, not merely a zombie waiting for its reaper.
bool alive(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z';
}

std::vector<nlohmann::json> listed() {
    auto result = simctl({"list"});
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<nlohmann::json> lines;
    std::istringstream in(result.out);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

std::string stateOf(const std::string& udid) {
    for (const auto& line : listed()) {
        if (line["udid"] == udid) return line["state"];
    }
    return "missing";
}

TEST(DeviceLifecycle, CreateListBootShutdownDelete) {
    TemporaryDeviceSet devices;
    EXPECT_TRUE(listed().empty());  // no folder yet: an empty set

    auto types = simctl({"devicetypes"});
    EXPECT_EQ(types.status, 0);
    EXPECT_NE(types.out.find("iPhone-15-Pro (1179x2556 at 3x)"), std::string::npos);
    EXPECT_NE(types.out.find("iPad-Air (1640x2360 at 2x)"), std::string::npos);

    const std::string udid = devices.create("Phone", "iPhone-SE", "legacy");
    ASSERT_EQ(udid.size(), 36u);
    EXPECT_EQ(udid.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
    auto lines = listed();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(
        lines[0],
        (nlohmann::json{
            {"udid", udid}, {"name", "Phone"}, {"type", "iPhone-SE"}, {"state", "Shutdown"}}));
    EXPECT_EQ(devices.set().device(udid)->runtime, "legacy");

    ASSERT_EQ(simctl({"boot", udid}).status, 0);
    EXPECT_EQ(stateOf(udid), "Booted");
    const fs::path png = devices.home() / "screen.png";
    auto shot = simctl({"screenshot", udid, png.string()});
    EXPECT_EQ(shot.status, 0) << shot.err;
    EXPECT_GT(fs::file_size(png), 1000u);

    auto refused = simctl({"delete", udid});  // booted devices are not deleted
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.err.find("shut it down first"), std::string::npos);

    ASSERT_EQ(simctl({"shutdown", udid}).status, 0);
    EXPECT_EQ(stateOf(udid), "Shutdown");
    EXPECT_FALSE(fs::exists(DeviceSet::socketPath(devices.set().root() / udid)));
    EXPECT_NE(simctl({"screenshot", udid, png.string()}).status, 0);
    ASSERT_EQ(simctl({"delete", udid}).status, 0);
    EXPECT_TRUE(listed().empty());
}

TEST(DeviceLifecycle, BadRequestsFailWithAMessage) {
    TemporaryDeviceSet devices;
    const std::string unknown = "00000000-0000-4000-8000-000000000000";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"create", "X", "iPhone-99"}, 1, "unknown device type: iPhone-99"},
        {{"create", "X", "iPhone-SE", "--runtime", "ancient"}, 1, "unknown runtime: ancient"},
        {{"create", "X"}, 2, "create needs NAME and TYPE"},
        {{"boot", unknown}, 1, "no device"},
        {{"boot", "not-a-udid"}, 1, "no device"},
        {{"shutdown", unknown}, 1, "no device"},
        {{"delete", unknown}, 1, "no device"},
        {{"animate", unknown, "sideways"}, 2, "on or off"},
        {{"plug", unknown}, 1, "no device"},
        {{"plug"}, 2, "plug needs one UDID"},
        {{"plug", unknown, "--name"}, 2, "--name needs a name"},
        {{"unplug", unknown}, 1, "no capture device " + unknown + " is plugged in"},
        {{"camera", "maybe"}, 1, "granted, denied or undetermined"},
        {{"teleport"}, 2, "unknown command: teleport"},
        {{}, 2, "no command"},
    };
    for (const auto& c : cases) {
        auto result = simctl(c.args);
        SCOPED_TRACE(result.err);
        EXPECT_EQ(result.status, c.status);
        EXPECT_NE(result.err.find(c.message), std::string::npos);
        EXPECT_TRUE(result.out.empty());
    }
    // A lower-case UDID names no device: UDIDs are upper-case canonical.
    std::string udid = devices.create("Phone");
    for (auto& c : udid) c = static_cast<char>(std::tolower(c));
    EXPECT_NE(simctl({"boot", udid}).status, 0);
}

TEST(DeviceLifecycle, SurvivesAbuse) {
    TemporaryDeviceSet devices;
    const std::string first = devices.create("First");
    const std::string second = devices.create("Second", "iPad-Air");

    // Booting at the same time from two places starts one process.
    std::thread racing([&] { EXPECT_EQ(simctl({"boot", first}).status, 0); });
    EXPECT_EQ(simctl({"boot", first}).status, 0);
    racing.join();
    const auto firstPid = DeviceSet::pid(devices.set().root() / first);
    ASSERT_TRUE(firstPid);
    EXPECT_EQ(simctl({"boot", first}).status, 0);
    EXPECT_EQ(DeviceSet::pid(devices.set().root() / first), firstPid);  // the same process
    ASSERT_EQ(simctl({"boot", second}).status, 0);
    EXPECT_EQ(stateOf(first), "Booted");
    EXPECT_EQ(stateOf(second), "Booted");

    // Killed outright: it reads "Shutdown" at once and boots again over its stale files.
    ASSERT_EQ(kill(*firstPid, SIGKILL), 0);
    tavrel::testing::waitUntil([&] { return stateOf(first) == "Shutdown"; },
                               std::chrono::seconds(5));
    EXPECT_EQ(stateOf(first), "Shutdown");
    EXPECT_TRUE(fs::exists(DeviceSet::socketPath(devices.set().root() / first)));  // stale
    auto reboot = simctl({"boot", first});
    EXPECT_EQ(reboot.status, 0) << reboot.err;
    EXPECT_EQ(stateOf(first), "Booted");
    EXPECT_NE(DeviceSet::pid(devices.set().root() / first), firstPid);

    // Shutting down twice.
    EXPECT_EQ(simctl({"shutdown", second}).status, 0);
    auto again = simctl({"shutdown", second});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.err.find("already shut down"), std::string::npos);
    EXPECT_EQ(stateOf(second), "Shutdown");
    EXPECT_EQ(stateOf(first), "Booted");  // the other device is untouched
}

TEST(DeviceLifecycle, ADeviceWhoseFolderIsRemovedStopsByItself) {
    TemporaryDeviceSet devices;
    const std::string udid = devices.create("Orphan");
    ASSERT_EQ(simctl({"boot", udid}).status, 0);
    const auto pid = DeviceSet::pid(devices.set().root() / udid);
    ASSERT_TRUE(pid);
    fs::remove_all(devices.set().root() / udid);
    EXPECT_TRUE(tavrel::testing::waitUntil([&] { return !alive(*pid); }, std::chrono::seconds(10)));
}

TEST(DeviceLifecycle, ADeviceThatCannotStartReportsWhy) {
    TemporaryDeviceSet devices;
    const std::string udid = devices.create("Broken");
    const fs::path record = devices.set().root() / udid / "device.json";
    auto json = nlohmann::json::parse(std::ifstream(record));
    json["type"] = "Walkman";
    std::ofstream(record) << json.dump();
    auto result = simctl({"boot", udid});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("the device could not boot"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("unknown device type Walkman"), std::string::npos) << result.err;
    EXPECT_EQ(stateOf(udid), "Shutdown");
}

}  // namespace
}  // namespace tavrel::sim
