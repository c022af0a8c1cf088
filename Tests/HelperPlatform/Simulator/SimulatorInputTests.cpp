// Input and the element tree against a simulated iPhone booted with tavrel-simctl in a
// temporary HOME, through the frameworks laid out under the platform root of this build.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "HelperPlatform/Simulator/AccessibilityReader.hpp"
#include "HelperPlatform/Simulator/HIDTransports.hpp"
#include "Support/WaitUntil.hpp"

using namespace tavrel;
namespace fs = std::filesystem;

namespace {

const fs::path simctl = fs::path(TAVREL_BINARY_DIR) / "tavrel-simctl";

// Runs a command and returns its standard output without the final newline; empty on failure.
std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    EXPECT_EQ(pclose(pipe), 0) << command;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

const AXNode* find(const AXNode& node, const std::string& identifier) {
    if (node.identifier == identifier) return &node;
    for (const auto& child : node.children) {
        if (auto* found = find(child, identifier)) return found;
    }
    return nullptr;
}

class SimulatorInput : public ::testing::Test {
  protected:
    struct Booted {
        fs::path home;
        std::string udid;
        std::shared_ptr<SimDeviceHandle> handle;
        std::unique_ptr<AccessibilityReader> reader;
    };
    static inline Booted* booted = nullptr;

    static void SetUpTestSuite() {
        booted = new Booted;
        char pattern[] = "/tmp/tavrel-hid-XXXXXX";
        booted->home = mkdtemp(pattern);
        setenv("HOME", booted->home.c_str(), 1);
        booted->udid = run(simctl.string() + " create Input iPhone-15-Pro");
        if (booted->udid.empty()) return;
        run(simctl.string() + " boot " + booted->udid);
        auto developerDir = Frameworks::developerDir({});
        Frameworks::load(developerDir);
        booted->handle = std::make_shared<SimDeviceHandle>(booted->udid, developerDir);
        booted->reader = std::make_unique<AccessibilityReader>(booted->handle);
    }

    static void TearDownTestSuite() {
        booted->reader.reset();
        booted->handle.reset();
        if (!booted->udid.empty()) {
            run(simctl.string() + " shutdown " + booted->udid);
            run(simctl.string() + " delete " + booted->udid);
        }
        fs::remove_all(booted->home);
        delete booted;
        booted = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(booted->handle) << "no booted simulated device"; }

    static std::string tapCount() {
        auto tree = booted->reader->tree();
        auto* count = find(tree, "tap-count");
        return count ? count->label.value_or("") : "(no tap-count)";
    }

    // Waits for the tree to show `expected`: the device applies input before the transport
    // returns, but the screen model may settle a moment later (seconds, on a loaded machine).
    static std::string tapCountBecomes(const std::string& expected) {
        std::string seen;
        tavrel::testing::waitUntil([&] { return (seen = tapCount()) == expected; });
        return seen;
    }

    static void tap(HIDTransport& transport, const std::string& identifier) {
        auto tree = booted->reader->tree();
        auto* target = find(tree, identifier);
        ASSERT_NE(target, nullptr) << identifier;
        auto screen = booted->handle->screen();
        double x = (target->frame.x + target->frame.width / 2) / screen.widthPt;
        double y = (target->frame.y + target->frame.height / 2) / screen.heightPt;
        transport.send(HIDStep::touch(DigitizerPhase::start, x, y));
        transport.send(HIDStep::touch(DigitizerPhase::end, x, y));
    }

    static void press(HIDTransport& transport, HIDUsage button) {
        transport.send(HIDStep::button(button, true));
        transport.send(HIDStep::button(button, false));
    }
};

TEST_F(SimulatorInput, ATapThroughEachTransportCountsOnce) {
    std::vector<std::unique_ptr<HIDTransport>> transports;
    transports.push_back(std::make_unique<DTUHIDTransport>(booted->handle));
    transports.push_back(std::make_unique<IndigoTransport>(booted->handle));
    for (auto& transport : transports) {
        auto before = tapCount();
        ASSERT_EQ(before.rfind("Taps: ", 0), 0u) << before;
        int count = std::stoi(before.substr(6));
        tap(*transport, "tap-button");
        EXPECT_EQ(tapCountBecomes("Taps: " + std::to_string(count + 1)),
                  "Taps: " + std::to_string(count + 1))
            << transport->name();
    }
}

TEST_F(SimulatorInput, TheLockScreenHasNoFrontmostApplication) {
    IndigoTransport transport(booted->handle);
    press(transport, HIDUsage::power);
    try {
        booted->reader->tree();
        ADD_FAILURE() << "the locked screen was read";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.status(), 503);
        EXPECT_EQ(failure.message(), "the simulator has no frontmost application to read yet");
    }
    press(transport, HIDUsage::power);  // unlocks, for whatever runs next
}

}  // namespace
