#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "SimulatedPlatform/Device/DeviceLink/DeviceLink.hpp"
#include "SimulatedPlatform/Device/Support/TemporaryDeviceSet.hpp"

namespace tavrel::sim {
namespace {

using namespace std::chrono_literals;
using testing::simctl;
using testing::TemporaryDeviceSet;

// Collects frame notices from the link's delivery thread.
class FrameLog {
  public:
    void add(const FrameNotice& notice) {
        std::lock_guard guard(lock_);
        notices_.push_back(notice);
        changed_.notify_all();
    }
    std::vector<FrameNotice> notices() {
        std::lock_guard guard(lock_);
        return notices_;
    }
    bool waitFor(size_t count, std::chrono::milliseconds limit = 3s) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, limit, [&] { return notices_.size() >= count; });
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<FrameNotice> notices_;
};

const nlohmann::json* find(const nlohmann::json& element, const std::string& identifier) {
    if (element.is_object() && element.value("identifier", nlohmann::json()) == identifier) {
        return &element;
    }
    if (element.is_object()) {
        for (const auto& child : element["children"]) {
            if (const auto* found = find(child, identifier)) return found;
        }
    }
    return nullptr;
}

nlohmann::json frame(const nlohmann::json& element) {
    return element.at("frame");
}

void tapAt(DeviceLink& link, double x, double y) {
    link.send(InputEvent::touch(TouchPhase::start, x, y));
    link.send(InputEvent::touch(TouchPhase::end, x, y));
}

void tapOn(DeviceLink& link, const std::string& identifier) {
    const auto app = link.frontmostApplication();
    const auto* element = find(app, identifier);
    ASSERT_NE(element, nullptr) << identifier;
    const auto f = frame(*element);
    tapAt(link, f["x"].get<double>() + f["width"].get<double>() / 2,
          f["y"].get<double>() + f["height"].get<double>() / 2);
}

TEST(DeviceLink, DescribesTheDeviceAndDrivesItsApp) {
    TemporaryDeviceSet devices;
    const auto directory = devices.boot("Link", "iPhone-15-Pro", "legacy");
    DeviceLink link(directory);
    const auto& info = link.info();
    EXPECT_EQ(info.udid, directory.filename().string());
    EXPECT_EQ(info.name, "Link");
    EXPECT_EQ(info.runtime, "legacy");
    EXPECT_EQ(info.widthPx, 1179);
    EXPECT_EQ(info.heightPx, 2556);
    EXPECT_EQ(info.scale, 3);
    EXPECT_EQ(info.widthPt, 393);
    EXPECT_EQ(info.heightPt, 852);

    auto app = link.frontmostApplication();
    EXPECT_EQ(app["role"], "AXApplication");
    ASSERT_NE(find(app, "tap-count"), nullptr);
    EXPECT_EQ((*find(app, "tap-count"))["label"], "Taps: 0");
    EXPECT_EQ((*find(app, "wifi-switch"))["value"], 0.0);
    EXPECT_EQ((*find(app, "tap-button"))["traits"], 1u);

    tapOn(link, "tap-button");
    EXPECT_EQ((*find(link.frontmostApplication(), "tap-count"))["label"], "Taps: 1");

    // Reports of two fingers reach the app whole: spreading them about the picture zooms it.
    const auto photo = frame(*find(app, "photo"));
    const double cx = photo["x"].get<double>() + photo["width"].get<double>() / 2;
    const double cy = photo["y"].get<double>() + photo["height"].get<double>() / 2;
    link.send(InputEvent::touch(TouchPhase::start, cx - 20, cy));
    link.send(InputEvent::touches(Contact{TouchPhase::move, cx - 20, cy},
                                  Contact{TouchPhase::start, cx + 20, cy}));
    link.send(InputEvent::touches(Contact{TouchPhase::move, cx - 20, cy},
                                  Contact{TouchPhase::move, cx + 40, cy}));
    link.send(InputEvent::touches(Contact{TouchPhase::end, cx - 40, cy},
                                  Contact{TouchPhase::move, cx + 40, cy}));
    link.send(InputEvent::touches(std::nullopt, Contact{TouchPhase::end, cx + 40, cy}));
    EXPECT_EQ((*find(link.frontmostApplication(), "zoom-label"))["label"], "Zoom: 1.5x");

    tapOn(link, "name-field");
    for (uint32_t key : {23u, 4u, 25u, 8u, 15u}) {  // "tavel" typed key by key
        link.send(InputEvent::key(key, true));
        link.send(InputEvent::key(key, false));
    }
    EXPECT_EQ((*find(link.frontmostApplication(), "name-field"))["value"], "tavel");

    link.send(InputEvent::button(0x0C, 0x30, true));  // power: locked
    link.send(InputEvent::button(0x0C, 0x30, false));
    EXPECT_TRUE(link.frontmostApplication().is_null());
    EXPECT_EQ(link.accessibility({{"request", "everything"}})["error"],
              "unknown accessibility request");
}

TEST(DeviceLink, HearsOfEveryFrameAndOnlyOfFrames) {
    TemporaryDeviceSet devices;
    const auto directory = devices.boot("Frames");
    DeviceLink link(directory);
    auto surfaces = link.surfaces();
    EXPECT_EQ(surfaces->width(), 1179u);
    EXPECT_EQ(surfaces->height(), 2556u);
    const uint32_t bootSeed = surfaces->lastSeed();
    EXPECT_GT(bootSeed, 0u);  // the first frame is there when boot returns

    FrameLog log;
    const uint64_t token = link.subscribeFrames([&](const FrameNotice& n) { log.add(n); });
    // A still screen stays still (allowing for the clock turning over meanwhile).
    const auto minute = [] { return std::chrono::system_clock::now().time_since_epoch() / 1min; };
    const auto before = minute();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(log.notices().size(), minute() == before ? 0u : 1u);
    EXPECT_EQ(surfaces->lastSeed(), bootSeed + log.notices().size());

    const size_t seen = log.notices().size();
    tapOn(link, "tap-button");
    ASSERT_TRUE(log.waitFor(seen + 1));
    const auto notice = log.notices().back();
    EXPECT_GT(notice.seed, bootSeed);
    EXPECT_EQ(surfaces->surface(notice.surface).seed(), notice.seed);
    EXPECT_GT(notice.drawnNs, 0u);

    link.setAnimating(true);
    EXPECT_TRUE(log.waitFor(seen + 20));  // a third of a second at 60 fps
    link.setAnimating(false);
    link.unsubscribe(token);
    const auto notices = log.notices();
    for (size_t i = 1; i < notices.size(); ++i) EXPECT_GT(notices[i].seed, notices[i - 1].seed);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(log.notices().size(), notices.size());  // unsubscribed: no more calls
}

TEST(DeviceLink, ReadersNeverSeeAHalfDrawnFrame) {
    TemporaryDeviceSet devices;
    const auto directory = devices.boot("Tearing", "iPhone-SE");
    DeviceLink link(directory);
    auto surfaces = link.surfaces();
    link.setAnimating(true);
    const size_t bytes = size_t(surfaces->bytesPerRow()) * surfaces->height();
    const uint32_t bytesPerRow = surfaces->bytesPerRow();
    const double scale = link.info().scale;
    const auto button = frame(*find(link.frontmostApplication(), "tap-button"));
    // The button is drawn early in a frame, the moving ball last: a frame caught while
    // it is drawn lacks one of them.
    const size_t buttonPixel = size_t((button["y"].get<double>() + 5) * scale) * bytesPerRow +
                               size_t((button["x"].get<double>() + 5) * scale) * 4;
    const size_t ballRow = size_t((link.info().heightPt - 60) * scale) * bytesPerRow;
    std::vector<uint8_t> first(bytes);
    int frames = 0;
    const auto end = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < end) {
        auto pinned = surfaces->lockFront();
        std::memcpy(first.data(), pinned.pixels(), bytes);
        // Held over several frame times: nothing may change underneath.
        std::this_thread::sleep_for(std::chrono::milliseconds(frames % 3 * 20));
        ASSERT_EQ(std::memcmp(first.data(), pinned.pixels(), bytes), 0) << "frame " << frames;
        EXPECT_EQ(first[buttonPixel + 0], 255);  // blue, in BGRA
        EXPECT_EQ(first[buttonPixel + 2], 0);
        bool ball = false;
        for (uint32_t x = 0; x < surfaces->width() && !ball; ++x) {
            const uint8_t* p = first.data() + ballRow + x * 4;
            ball = p[2] == 255 && p[1] < 80 && p[0] < 80;
        }
        EXPECT_TRUE(ball) << "frame " << frames;
        ++frames;
    }
    link.setAnimating(false);
    EXPECT_GT(frames, 10);
}

TEST(DeviceLink, ToldWhenTheDeviceGoesAway) {
    TemporaryDeviceSet devices;
    const auto directory = devices.boot("Gone");
    DeviceLink link(directory);
    std::mutex lock;
    std::condition_variable changed;
    int told = 0;
    link.subscribeDisconnected([&] {
        std::lock_guard guard(lock);
        ++told;
        changed.notify_all();
    });
    ASSERT_EQ(simctl({"shutdown", directory.filename().string()}).status, 0);
    {
        std::unique_lock guard(lock);
        EXPECT_TRUE(changed.wait_for(guard, 3s, [&] { return told > 0; }));
    }
    EXPECT_FALSE(link.connected());
    EXPECT_THROW(link.send(InputEvent::key(4, true)), DeviceLinkError);
    EXPECT_THROW(link.frontmostApplication(), DeviceLinkError);
    EXPECT_THROW(DeviceLink{directory}, DeviceLinkError);  // not booted any more
    std::this_thread::sleep_for(50ms);
    std::lock_guard guard(lock);
    EXPECT_EQ(told, 1);
}

}  // namespace
}  // namespace tavrel::sim
