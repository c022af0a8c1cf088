#include "HelperPlatform/Simulator/SimDeviceHandle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "HelperPlatform/Support/Simulators.hpp"
#include "Support/FailureOf.hpp"

namespace tavrel {
namespace {

using testing::SimulatorHome;

std::string developerDir() {
    return Frameworks::developerDir({});
}

class SimDeviceHandleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimulatorHome::shared();
        Frameworks::load(developerDir());
    }
};

using tavrel::testing::failureOf;

TEST_F(SimDeviceHandleTest, FindsOnlyTheExactUpperCaseUDID) {
    auto udid = SimulatorHome::shared().create("Exact");
    SimDeviceHandle handle(udid, developerDir());
    EXPECT_EQ(handle.udid(), udid);
    EXPECT_TRUE(handle.object().asObject());

    std::string lower = udid;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& wanted : {lower, std::string("00000000-0000-0000-0000-000000000000")}) {
        auto failure = failureOf([&] { SimDeviceHandle(wanted, developerDir()); });
        EXPECT_EQ(failure,
                  HelperFailure(
                      "no simulator " + wanted + " in the device set of " + developerDir(), 404));
    }
}

TEST_F(SimDeviceHandleTest, ADeviceThatIsNotBootedSaysItsState) {
    auto udid = SimulatorHome::shared().create("Idle");
    SimDeviceHandle handle(udid, developerDir());
    EXPECT_EQ(handle.state(), "Shutdown");
    EXPECT_EQ(failureOf([&] { handle.requireBooted(); }),
              HelperFailure("the simulator " + udid + " is not booted (Shutdown)", 409));
    EXPECT_FALSE(handle.lookup("com.apple.coredevice.feature.remote.hid.digitizer"));
}

TEST_F(SimDeviceHandleTest, ReadsABootedDevicesScreenAndServices) {
    auto modern = SimulatorHome::shared().boot("Modern");
    auto legacy = SimulatorHome::shared().boot("Legacy", "legacy");
    SimDeviceHandle handle(modern, developerDir());
    EXPECT_EQ(handle.state(), "Booted");
    handle.requireBooted();
    EXPECT_EQ(handle.screen(), ScreenGeometry::of(1179, 2556, 3));
    EXPECT_TRUE(handle.lookup("com.apple.coredevice.feature.remote.hid.digitizer"));
    EXPECT_FALSE(handle.lookup("com.example.nothing"));
    // Older runtimes publish no digitizer service.
    SimDeviceHandle older(legacy, developerDir());
    EXPECT_FALSE(older.lookup("com.apple.coredevice.feature.remote.hid.digitizer"));
    SimulatorHome::shared().shutdown(legacy);
    EXPECT_EQ(older.state(), "Shutdown");
}

TEST(SimDeviceHandleWithoutFrameworks, NeedsCoreSimulatorsServiceForTheDirectory) {
    SimulatorHome::shared();
    Frameworks::load(developerDir());
    // The service refuses a developer directory that does not exist.
    auto failure = failureOf([] { SimDeviceHandle("X", "/no/such/Developer"); });
    EXPECT_EQ(failure, HelperFailure(
                           "CoreSimulator's service for /no/such/Developer is not reachable", 409));
}

}  // namespace
}  // namespace tavrel
