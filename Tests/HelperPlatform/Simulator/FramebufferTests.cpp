#include "HelperPlatform/Simulator/Framebuffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Simulator/Frameworks.hpp"
#include "HelperPlatform/Support/Simulators.hpp"

namespace tavrel {
namespace {

using testing::SimulatorHome;
using namespace std::chrono_literals;

std::shared_ptr<SimDeviceHandle> bootedHandle(const std::string& name,
                                              const std::string& runtime = "modern") {
    SimulatorHome::shared();
    auto dir = SimulatorFrameworks::developerDir({});
    SimulatorFrameworks::load(dir);
    auto udid = SimulatorHome::shared().boot(name, runtime);
    return std::make_shared<SimDeviceHandle>(udid, dir);
}

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

// Both callback sets: the modern runtime's descriptors and the older ones of a legacy runtime.
class FramebufferTest : public ::testing::TestWithParam<std::string> {};

TEST_P(FramebufferTest, HandsOutTheScreenAndHearsEveryRedraw) {
    auto handle = bootedHandle("Screen " + GetParam(), GetParam());
    auto screen = handle->screen();
    auto framebuffer = Framebuffer::make(handle, screen);
    EXPECT_EQ(framebuffer->registrationCount(), 1u);

    auto first = framebuffer->pictureWaiting(2);
    EXPECT_EQ(first.surface->width(), 1179);
    EXPECT_EQ(first.surface->height(), 2556);
    EXPECT_TRUE(first.surface->isReadable());
    EXPECT_FALSE(first.keeping);
    // A still screen keeps its version.
    auto again = framebuffer->picture();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->version, first.version);

    std::atomic<int> frames{0};
    framebuffer->observe([&] { ++frames; });
    SimulatorHome::shared().animate(handle->udid(), true);
    EXPECT_TRUE(eventually([&] { return frames >= 3; }));
    EXPECT_TRUE(eventually([&] {
        auto now = framebuffer->picture();
        return now && now->version != first.version;
    }));
    SimulatorHome::shared().animate(handle->udid(), false);

    framebuffer->close();
    EXPECT_FALSE(framebuffer->picture());
    try {
        framebuffer->pictureWaiting(0);
        FAIL() << "a closed framebuffer gave a picture";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure, HelperFailure("the simulator has not drawn its screen yet", 503));
    }
    // No frame reaches an observer after closing.
    const int heard = frames;
    SimulatorHome::shared().animate(handle->udid(), true);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(frames, heard);
    SimulatorHome::shared().shutdown(handle->udid());
}

INSTANTIATE_TEST_SUITE_P(Runtimes, FramebufferTest, ::testing::Values("modern", "legacy"));

TEST(Framebuffer, ASimulatorWithoutADisplayPortIsRefused) {
    auto handle = bootedHandle("Gone");
    auto screen = handle->screen();
    SimulatorHome::shared().shutdown(handle->udid());
    try {
        Framebuffer::make(handle, screen);
        FAIL() << "registered with a device that shows no display";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure,
                  HelperFailure("the simulator " + handle->udid() + " shows no display", 409));
    }
}

}  // namespace
}  // namespace tavrel
