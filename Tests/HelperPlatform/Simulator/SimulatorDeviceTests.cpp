#include "HelperPlatform/Simulator/SimulatorDevice.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Support/Simulators.hpp"
#include "Support/ScriptedDevice.hpp"

namespace tavrel {
namespace {

using testing::RecordingTransport;
using testing::SimulatorHome;

DeviceOptions options(const std::string& udid,
                      TransportPolicy::Preference hid = TransportPolicy::Preference::automatic) {
    DeviceOptions made;
    made.udid = udid;
    made.hid = hid;
    return made;
}

// Parts that record how often they were made, with transports that fail by name.
struct CountingParts {
    std::atomic<int> transports{0};
    std::atomic<int> readers{0};
    std::vector<std::string> failing;

    SimulatorParts parts() {
        SimulatorParts made;
        made.transport =
            [this](const std::string& name,
                   const std::shared_ptr<SimDeviceHandle>&) -> std::shared_ptr<HIDTransport> {
            ++transports;
            if (std::find(failing.begin(), failing.end(), name) != failing.end())
                throw HelperFailure("the simulator publishes no digitizer", 502);
            return std::make_shared<RecordingTransport>(name);
        };
        made.reader = [this](const std::shared_ptr<SimDeviceHandle>&) {
            ++readers;
            return std::function<AXNode()>([] {
                AXNode root;
                root.role = "AXApplication";
                return root;
            });
        };
        return made;
    }
};

HelperFailure openingFailure(const std::string& udid) {
    try {
        SimulatorDevice device(options(udid), true, Log(Log::Level::error));
    } catch (const HelperFailure& failure) {
        return failure;
    }
    return HelperFailure("opened", 0);
}

TEST(SimulatorDevice, OpensOnlyABootedSimulator) {
    auto& home = SimulatorHome::shared();
    auto idle = home.create("Idle");
    EXPECT_EQ(openingFailure(idle),
              HelperFailure("the simulator " + idle + " is not booted (Shutdown)", 409));
    auto dir = Frameworks::developerDir({});
    EXPECT_EQ(openingFailure("NOT-A-UDID"),
              HelperFailure("no simulator NOT-A-UDID in the device set of " + dir, 404));
}

TEST(SimulatorDevice, ServesScreenshotsAndMakesEachPartOnce) {
    auto udid = SimulatorHome::shared().boot("Served");
    CountingParts counting;
    SimulatorDevice device(options(udid), true, Log(Log::Level::error), counting.parts());
    EXPECT_EQ(device.coreSimulator(), "1165.1");
    EXPECT_FALSE(device.source());
    EXPECT_EQ(device.screen(), ScreenGeometry::of(1179, 2556, 3));
    EXPECT_TRUE(device.booted());

    device.startWarming();
    device.waitUntilWarm();
    ScreenshotRequest request;
    request.maxWidth = 160;
    auto jpeg = device.screenshot(request);
    EXPECT_EQ(jpeg.width, 160);
    EXPECT_GT(jpeg.data.size(), 100u);

    // Under auto, CoreSimulator 1165.1 tries dtuhid first.
    auto driver = device.input();
    EXPECT_EQ(driver->transport()->name(), "dtuhid");
    EXPECT_EQ(device.input(), driver);
    EXPECT_EQ(device.tree().role, "AXApplication");
    device.tree();
    EXPECT_EQ(counting.transports, 1);
    EXPECT_EQ(counting.readers, 1);

    // Closing lets go of the screen and the driver; the next requests make them anew.
    device.close();
    EXPECT_EQ(device.screenshot(request).width, 160);
    EXPECT_NE(device.input(), driver);

    SimulatorHome::shared().shutdown(udid);
    EXPECT_FALSE(device.booted());
}

TEST(SimulatorDevice, SaysWhyInputCannotReachTheSimulator) {
    auto udid = SimulatorHome::shared().boot("No input");
    CountingParts counting;
    counting.failing = {"dtuhid", "indigo"};
    {
        SimulatorDevice device(options(udid, TransportPolicy::Preference::dtuhid), true,
                               Log(Log::Level::error), counting.parts());
        try {
            device.input();
            FAIL() << "input without a transport";
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure, HelperFailure("input cannot reach the simulator (dtuhid: the "
                                             "simulator publishes no digitizer)",
                                             409));
        }
        // Nothing was kept: the next request tries again.
        EXPECT_THROW(device.input(), HelperFailure);
        EXPECT_EQ(counting.transports, 2);
    }
    counting.failing = {"dtuhid"};
    SimulatorDevice device(options(udid), true, Log(Log::Level::error), counting.parts());
    EXPECT_EQ(device.input()->transport()->name(), "indigo");
    SimulatorHome::shared().shutdown(udid);
}

}  // namespace
}  // namespace tavrel
