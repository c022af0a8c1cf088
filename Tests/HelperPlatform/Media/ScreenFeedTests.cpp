#include "HelperPlatform/Media/ScreenFeed.hpp"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <atomic>
#include <future>
#include <regex>

#include "HelperPlatform/Media/Warming.hpp"
#include "HelperPlatform/Support/StreamCollector.hpp"
#include "HelperPlatform/Support/SyntheticPixelSource.hpp"
#include "Support/NextUnit.hpp"
#include "Support/WaitUntil.hpp"

namespace tavrel {
namespace {

using namespace std::chrono_literals;
using testing::LogLines;
using testing::SyntheticPixelSource;

const ScreenGeometry screen = ScreenGeometry::of(300, 600, 3);

struct Fixture {
    explicit Fixture(bool drawn = true)
        : source(std::make_shared<SyntheticPixelSource>(300, 600, drawn)),
          feed(source, std::make_shared<Pictures>(), false, 0.05, lines.log()) {
        source->setNoPictureFailure(
            HelperFailure("the simulator has not drawn its screen yet", 503));
    }
    LogLines lines;
    std::shared_ptr<SyntheticPixelSource> source;
    ScreenFeed feed;
};

std::pair<int, int> jpegSize(const Bytes& data) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    EXPECT_EQ(tjDecompressHeader3(handle, data.data(), data.size(), &width, &height, &subsampling,
                                  &colourspace),
              0);
    tjDestroy(handle);
    return {width, height};
}

TEST(ScreenFeed, ScreenshotsHoldTheSourceOnceWhateverHappens) {
    struct Case {
        const char* name;
        bool drawn;
        ScreenshotRequest request;
        std::optional<HelperFailure> failure;
        int width, height;
    };
    const Case cases[] = {
        {"whole screen", true, {}, std::nullopt, 300, 600},
        {"narrow, cropped", true, {50, 75, Crop{0, 0, 50, 50}}, std::nullopt, 50, 50},
        {"crop off the screen",
         true,
         {100, 75, Crop{200, 0, 10, 10}},
         HelperFailure("the region 200.0,0.0 10.0x10.0 is not on the screen", 400),
         0,
         0},
        {"bad quality",
         true,
         {100, 0, std::nullopt},
         HelperFailure("quality must be 1 to 100", 400),
         0,
         0},
        {"no picture",
         false,
         {},
         HelperFailure("the simulator has not drawn its screen yet", 503),
         0,
         0},
    };
    for (const auto& c : cases) {
        Fixture fixture(c.drawn);
        try {
            const auto jpeg = fixture.feed.screenshot(c.request, screen);
            EXPECT_FALSE(c.failure) << c.name;
            EXPECT_EQ(jpeg.width, c.width) << c.name;
            EXPECT_EQ(jpeg.height, c.height) << c.name;
            EXPECT_EQ(jpegSize(jpeg.data), std::make_pair(c.width, c.height)) << c.name;
        } catch (const HelperFailure& failure) {
            ASSERT_TRUE(c.failure) << c.name << ": " << failure.message();
            EXPECT_EQ(failure, *c.failure) << c.name;
        }
        EXPECT_EQ(fixture.source->holds(), 1) << c.name;
        EXPECT_EQ(fixture.source->letGos(), 1) << c.name;
    }
    Fixture refusing;
    refusing.source->failHolds(HelperFailure("the display offers no frames", 409));
    EXPECT_THROW(refusing.feed.screenshot({}, screen), HelperFailure);
    EXPECT_EQ(refusing.source->letGos(), 0);
}

TEST(ScreenFeed, StreamsProduceUntilCancelled) {
    Fixture fixture;
    auto units = fixture.feed.stream(StreamSettings{30, 0.5, 1, 200000});
    const auto collected = testing::collect(units, 5.0, 1);
    ASSERT_EQ(collected.chunks.size(), 1u);
    EXPECT_TRUE(collected.chunks[0].isKey());
    // One hold sizes the plan that picks the encoder, one is the encoder's own.
    EXPECT_EQ(fixture.source->holds(), 2);
    EXPECT_EQ(fixture.source->letGos(), 2);
    EXPECT_EQ(fixture.source->observerCount(), 0u);
    EXPECT_EQ(fixture.feed.encoders(), 0u);

    try {
        fixture.feed.stream(StreamSettings{30, 0, 1, 200000});
        ADD_FAILURE();
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure, HelperFailure("scale must be more than 0 and at most 1", 400));
    }
    EXPECT_EQ(fixture.source->holds(), 3);
    EXPECT_EQ(fixture.source->letGos(), 3);
}

// The next unit within the test's patience, or nothing; the stream stays open.
std::optional<Bytes> nextUnit(const AsyncStream<Bytes>& stream) {
    return testing::nextWithinPatience(stream);
}

TEST(ScreenFeed, StreamsOfOnePlanShareAnEncoderUntilTheLastOneLeaves) {
    Fixture fixture;
    fixture.source->animate(30);
    const auto isKey = [](const std::optional<Bytes>& unit) {
        return unit && testing::Chunk{0, *unit}.isKey();
    };
    const StreamSettings settings{30, 0.5, 1, 200000};
    // 0.501 of 300x600 rounds to the same even size as 0.5: the same plan.
    const StreamSettings roundedAlike{30, 0.501, 1, 200000};
    const StreamSettings moreBits{30, 0.5, 1, 400000};

    auto first = fixture.feed.stream(settings);
    EXPECT_TRUE(isKey(nextUnit(first)));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(nextUnit(first));
    auto second = fixture.feed.stream(roundedAlike);
    EXPECT_EQ(fixture.feed.encoders(), 1u);
    EXPECT_TRUE(isKey(nextUnit(second)));
    auto third = fixture.feed.stream(moreBits);
    EXPECT_EQ(fixture.feed.encoders(), 2u);
    EXPECT_TRUE(isKey(nextUnit(third)));
    EXPECT_TRUE(nextUnit(first));

    first.cancel();
    second.cancel();
    EXPECT_EQ(fixture.feed.encoders(), 1u);
    // The encoder of the first two has let the source go; the third's still holds it.
    EXPECT_EQ(fixture.source->holds() - fixture.source->letGos(), 1);
    third.cancel();
    EXPECT_EQ(fixture.feed.encoders(), 0u);
    EXPECT_EQ(fixture.source->holds(), fixture.source->letGos());
    EXPECT_EQ(fixture.source->observerCount(), 0u);
}

TEST(ScreenFeed, WarmingUpLogsOnlyWhenItHadAPicture) {
    Fixture fixture;
    fixture.feed.warm(screen, 0.5);
    EXPECT_EQ(fixture.source->holds(), 1);
    EXPECT_EQ(fixture.source->letGos(), 1);
    const auto lines = fixture.lines.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        lines[0],
        std::regex(
            R"(\[debug\] warmed the screen, the JPEG pipeline and the H\.264 encoder in \d+ms)")));

    Fixture blank(false);
    try {
        blank.feed.warm(screen, 0.05);
        ADD_FAILURE();
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure, HelperFailure("the simulator has not drawn its screen yet", 503));
    }
    EXPECT_EQ(blank.source->letGos(), 1);
    EXPECT_TRUE(blank.lines.lines().empty());
}

TEST(Warming, RunsOneBodyAndLetsWaitersWaitForIt) {
    Warming warming;
    warming.waitUntilWarm();  // never started: returns at once
    EXPECT_FALSE(warming.started());

    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> firstRuns = 0, secondRuns = 0;
    warming.start([&, released] {
        released.wait();
        ++firstRuns;
    });
    warming.start([&] { ++secondRuns; });
    auto waiter = std::async(std::launch::async, [&] { warming.waitUntilWarm(); });
    EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
    release.set_value();
    EXPECT_EQ(waiter.wait_for(2s), std::future_status::ready);
    warming.waitUntilWarm();
    EXPECT_EQ(firstRuns, 1);
    EXPECT_EQ(secondRuns, 0);

    Warming failing;
    failing.start([] { throw HelperFailure("the simulator has not drawn its screen yet", 503); });
    failing.waitUntilWarm();
    EXPECT_TRUE(failing.started());
}

}  // namespace
}  // namespace tavrel
