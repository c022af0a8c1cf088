// The capture of a plugged simulated iPhone through the camera interface, and the capture
// device before and after its opening, in this process.

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "HelperPlatform/Capture/CaptureDevice.hpp"
#include "HelperPlatform/Capture/CaptureFrameworks.hpp"
#include "HelperPlatform/Capture/UsbCapture.hpp"
#include "HelperPlatform/Support/Simulators.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::SimulatorHome;
using testing::waitUntil;

std::string plug(const std::string& udid, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments{"plug", udid};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto result = testing::runProgram("tavrel-simctl", arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out.substr(0, result.out.find_first_of("\r\n"));
}

void unplug(const std::string& id) {
    EXPECT_EQ(testing::runProgram("tavrel-simctl", {"unplug", id}).status, 0);
}

foreign::Value captureDevice(const std::string& id) {
    CaptureFrameworks::load();
    auto devices = ScreenCaptureDevices::list(10, [&](const auto& candidates) {
        for (const auto& candidate : candidates)
            if (candidate.id == id) return true;
        return false;
    });
    for (const auto& device : devices)
        if (device.candidate.id == id) return device.device;
    throw std::runtime_error("capture device " + id + " is not listed");
}

// The debug lines of a capture, kept for the test to count.
struct Lines {
    std::mutex lock;
    std::vector<std::string> lines;
    Log log() {
        return Log(Log::Level::debug, [this](const std::string& line) {
            std::lock_guard guard(lock);
            lines.push_back(line);
        });
    }
    int count(const std::string& line) {
        std::lock_guard guard(lock);
        return int(std::count(lines.begin(), lines.end(), line));
    }
};

TEST(UsbCapture, RunsWhileHeldAndStopsAfterTheLinger) {
    const auto udid = SimulatorHome::shared().boot("Lingering");
    const auto id = plug(udid);
    const std::string started = "[debug] capturing the screen of Lingering";
    const std::string stopped = "[debug] no longer capturing the screen of Lingering";

    Lines quick;
    auto capture = UsbCapture::make(captureDevice(id), 0, quick.log());
    EXPECT_EQ(capture->state(), UsbCapture::State::configured);
    EXPECT_FALSE(capture->picture());
    capture->hold();
    EXPECT_EQ(capture->state(), UsbCapture::State::running);
    EXPECT_EQ(capture->pictureWaiting(10).surface->width(), 1179);
    capture->letGo();
    ASSERT_TRUE(waitUntil([&] { return capture->state() == UsbCapture::State::stopped; }));
    EXPECT_FALSE(capture->picture()) << "a stopped capture hands out no stale picture";
    EXPECT_EQ(quick.count(stopped), 1);
    capture->close();

    // Held again within the linger: one start, no stop.
    Lines slow;
    auto lingering = UsbCapture::make(captureDevice(id), 30, slow.log());
    lingering->hold();
    lingering->letGo();
    lingering->hold();
    lingering->letGo();
    EXPECT_TRUE(lingering->pictureWaiting(10).surface);
    EXPECT_EQ(slow.count(started), 1);
    EXPECT_EQ(slow.count(stopped), 0);
    EXPECT_EQ(lingering->state(), UsbCapture::State::running);
    lingering->close();
    EXPECT_EQ(lingering->state(), UsbCapture::State::closed);
    EXPECT_FALSE(lingering->picture());
    unplug(id);
}

TEST(UsbCapture, TurnsLandscapeFramesUpright) {
    const auto udid = SimulatorHome::shared().boot("Turning");
    const auto portraitId = plug(udid);
    const auto landscapeId = plug(udid, {"--landscape"});
    auto portrait = UsbCapture::make(captureDevice(portraitId), 30, Log(Log::Level::error));
    auto landscape = UsbCapture::make(captureDevice(landscapeId), 30, Log(Log::Level::error));
    portrait->hold();
    landscape->hold();
    const auto upright = portrait->pictureWaiting(10);
    const auto turned = landscape->pictureWaiting(10);
    ASSERT_EQ(turned.surface->width(), 1179);
    ASSERT_EQ(turned.surface->height(), 2556);
    // A still screen: the two pictures are the same frame, pixel for pixel.
    std::size_t differing = 0;
    for (int y = 0; y < 2556; ++y)
        differing += std::memcmp(upright.surface->pixels() + y * upright.surface->bytesPerRow(),
                                 turned.surface->pixels() + y * turned.surface->bytesPerRow(),
                                 1179 * 4) != 0;
    EXPECT_EQ(differing, 0u);
    portrait->letGo();
    landscape->letGo();
    portrait->close();
    landscape->close();
    unplug(portraitId);
    unplug(landscapeId);
}

TEST(UsbCapture, AnUnpluggedDeviceSendsNoPicture) {
    const auto udid = SimulatorHome::shared().boot("Silent");
    const auto id = plug(udid);
    auto capture = UsbCapture::make(captureDevice(id), 0, Log(Log::Level::error));
    unplug(id);
    capture->hold();
    try {
        capture->pictureWaiting(1);
        ADD_FAILURE() << "a picture came from an unplugged device";
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.message(),
                  "Silent has sent no picture of its screen in 1 seconds: is it unlocked?");
        EXPECT_EQ(failure.status(), 503);
    }
    capture->letGo();
    capture->close();
}

CaptureOptions optionsFor(const std::string& name) {
    CaptureOptions options;
    options.udid = "cabled";
    options.name = name;
    options.socket = "/tmp/unused.sock";
    options.screen = ScreenGeometry::of(1179, 2556, 3);
    options.waitS = 1;
    return options;
}

void expectFailure(const std::function<void()>& call, const std::string& message, int status) {
    try {
        call();
        ADD_FAILURE() << "no failure, expected: " << message;
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.message(), message);
        EXPECT_EQ(failure.status(), status);
    }
}

TEST(CaptureDevice, AnswersFromItsStateBeforeAndAfterOpening) {
    const std::string touches = "a real device's touches go through WebDriverAgent, not its cable";
    const std::string tree =
        "a real device's element tree is read through WebDriverAgent, not its cable";
    const auto udid = SimulatorHome::shared().boot("Opened");
    const auto id = plug(udid);

    CaptureDevice device(optionsFor("Opened"), Log(Log::Level::error));
    EXPECT_EQ(device.state(), CaptureDevice::State::created);
    EXPECT_EQ(device.screen(), ScreenGeometry::of(1179, 2556, 3));
    EXPECT_FALSE(device.source());
    EXPECT_TRUE(device.connected());
    expectFailure([&] { device.screenshot({}); }, "the device's screen is not open yet", 503);
    expectFailure([&] { device.input(); }, touches, 409);
    expectFailure([&] { device.tree(); }, tree, 409);

    device.startWarming();
    device.waitUntilWarm();
    EXPECT_EQ(device.state(), CaptureDevice::State::opened);
    EXPECT_EQ(device.source(), id);
    EXPECT_EQ(device.screenshot({}).width, 1179);
    expectFailure([&] { device.input(); }, touches, 409);
    EXPECT_TRUE(device.connected());
    unplug(id);
    EXPECT_FALSE(device.connected());
    device.close();
    EXPECT_EQ(device.state(), CaptureDevice::State::closed);

    CaptureDevice missing(optionsFor("Nobody"), Log(Log::Level::error));
    missing.startWarming();
    missing.waitUntilWarm();
    EXPECT_EQ(missing.state(), CaptureDevice::State::failed);
    const std::string none =
        "no screen of a cabled device called Nobody is among this Mac's capture devices: is it "
        "plugged in by cable, trusted and unlocked?";
    expectFailure([&] { missing.screenshot({}); }, none, 409);
    expectFailure([&] { missing.screen(); }, none, 409);
    expectFailure([&] { missing.tree(); }, tree, 409);
    EXPECT_TRUE(missing.connected());
}

}  // namespace
}  // namespace tavrel
