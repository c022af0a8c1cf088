#include "HelperPlatform/Simulator/SimDeviceHandle.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Frameworks/ForeignCalls.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "HelperPlatform/Support/Simulators.hpp"
#include "SimulatedPlatform/Runtime/Foreign/Object.hpp"

namespace tavrel {
namespace {

using testing::SimulatorHome;

std::string developerDir() {
    return SimulatorFrameworks::developerDir({});
}

class SimDeviceHandleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimulatorHome::shared();
        SimulatorFrameworks::load(developerDir());
    }
};

template <class Body>
HelperFailure failureOf(Body&& body) {
    try {
        body();
    } catch (const HelperFailure& failure) {
        return failure;
    }
    return HelperFailure("no failure", 0);
}

// A framework class of the test's own whose methods misbehave on purpose.
foreign::Value misbehavingObject() {
    static foreign::ClassRef cls = [] {
        auto made = foreign::Class::make("TavrelTestMisbehaving", foreign::rootClass());
        made->addMethod("explode",
                        [](const foreign::ObjectRef&, const foreign::Arguments&) -> foreign::Value {
                            foreign::raise("NSInternalInconsistencyException", "the box broke");
                        });
        made->addMethod("mumble",
                        [](const foreign::ObjectRef&, const foreign::Arguments&) -> foreign::Value {
                            foreign::raise("NSGenericException", "");
                        });
        made->addMethod("child",
                        [](const foreign::ObjectRef& self,
                           const foreign::Arguments&) -> foreign::Value { return self; });
        made->addMethod("text",
                        [](const foreign::ObjectRef&, const foreign::Arguments&) -> foreign::Value {
                            return "not an object";
                        });
        foreign::registerClass(made);
        return made;
    }();
    return cls->allocate();
}

TEST(ForeignCalls, TurnsWhatAFrameworkRaisesIntoAFailureNamingTheOperation) {
    auto object = misbehavingObject();
    struct Case {
        std::string what;
        std::string selector;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"the device list", "explode",
         "the device list raised NSInternalInconsistencyException: the box broke"},
        {"sending input", "mumble", "sending input raised NSGenericException: no reason"},
        {"the device type", "noSuchMethod",
         "the device type raised NSInvalidArgumentException: -[TavrelTestMisbehaving "
         "noSuchMethod]: unrecognized selector sent to instance "},
    };
    for (const auto& c : cases) {
        auto failure = failureOf(
            [&] { ForeignCalls::guarded(c.what, [&] { foreign::send(object, c.selector); }); });
        EXPECT_EQ(failure.status(), 502);
        EXPECT_EQ(failure.message().substr(0, c.message.size()), c.message);
    }
    // Values and the helper's own failures pass through unchanged.
    EXPECT_EQ(ForeignCalls::guarded("x", [] { return 42; }), 42);
    EXPECT_EQ(
        failureOf([] { ForeignCalls::guarded("x", [] { throw HelperFailure("mine", 409); }); }),
        HelperFailure("mine", 409));
}

TEST(ForeignCalls, ObjectAnswersOnlyFrameworkObjects) {
    auto object = misbehavingObject();
    EXPECT_EQ(ForeignCalls::object(object, "child"), object.asObject());
    EXPECT_EQ(ForeignCalls::object(object, "text"), nullptr);
    EXPECT_EQ(ForeignCalls::object(object, "noSuchMethod"), nullptr);
    EXPECT_EQ(ForeignCalls::object(foreign::Value(), "child"), nullptr);
}

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
    SimulatorFrameworks::load(developerDir());
    // The service refuses a developer directory that does not exist.
    auto failure = failureOf([] { SimDeviceHandle("X", "/no/such/Developer"); });
    EXPECT_EQ(failure, HelperFailure(
                           "CoreSimulator's service for /no/such/Developer is not reachable", 409));
}

}  // namespace
}  // namespace tavrel
