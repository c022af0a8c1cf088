#include "HelperPlatform/Simulator/Framebuffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperPlatform/Frameworks/Frameworks.hpp"
#include "HelperPlatform/Support/Simulators.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using testing::SimulatorHome;
using namespace std::chrono_literals;

std::shared_ptr<SimDeviceHandle> bootedHandle(const std::string& name,
                                              const std::string& runtime = "modern") {
    SimulatorHome::shared();
    auto dir = Frameworks::developerDir({});
    Frameworks::load(dir);
    auto udid = SimulatorHome::shared().boot(name, runtime);
    return std::make_shared<SimDeviceHandle>(udid, dir);
}

using testing::waitUntil;

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
    EXPECT_TRUE(waitUntil([&] { return frames >= 3; }));
    EXPECT_TRUE(waitUntil([&] {
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
    // No frame reaches an observer after closing, while a second framebuffer hears them.
    const int heard = frames;
    auto witness = Framebuffer::make(handle, screen);
    std::atomic<int> witnessed{0};
    witness->observe([&] { ++witnessed; });
    SimulatorHome::shared().animate(handle->udid(), true);
    EXPECT_TRUE(waitUntil([&] { return witnessed >= 10; }));
    EXPECT_EQ(frames, heard);
    witness->close();
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
