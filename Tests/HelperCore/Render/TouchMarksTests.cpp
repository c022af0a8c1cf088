#include "HelperCore/Render/TouchMarks.hpp"

#include <gtest/gtest.h>

#include "HelperCore/Render/Ticks.hpp"

#include <cmath>
#include <limits>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {
namespace {

TEST(Ticks, StepTheRecordingAtTheSpeedNeverPastItsEnd) {
    struct Case {
        double duration, speed;
        std::int64_t fps;
        std::size_t count;
        double lastSource;
        std::int64_t fpsOut;
    };
    const Case cases[] = {
        {1, 2, 10, 5, 0.8, 10},     {2.5, 1, 30, 75, 74.0 / 30, 30},
        {2.51, 1, 30, 76, 2.5, 30}, {2, 2, 30, 30, 29.0 / 30 * 2, 30},
        {0, 1, 30, 1, 0, 30},       {1, 0, 30, 1, 0, 30},
        {1, 1, 0, 1, 0, 1},         {0.001, 8, 30, 1, 0, 30},
    };
    for (const Case& c : cases) {
        const Ticks ticks = Ticks::make(c.duration, c.speed, c.fps);
        ASSERT_EQ(ticks.count, static_cast<std::int64_t>(c.count)) << c.duration << " " << c.speed;
        EXPECT_EQ(ticks.fps, c.fpsOut);
        EXPECT_NEAR(ticks.at(ticks.count - 1).source, c.lastSource, 1e-12) << c.duration;
        std::size_t visited = 0;
        for (const Ticks::Tick tick : ticks) {
            EXPECT_DOUBLE_EQ(tick.output, static_cast<double>(visited++) / c.fpsOut);
            EXPECT_LE(tick.source, std::max(c.duration, 0.0));
        }
        EXPECT_EQ(visited, c.count);
        EXPECT_DOUBLE_EQ(ticks.length(), static_cast<double>(c.count) / c.fpsOut);
    }
}

// A recording's length is whatever double its last frame time holds. Up to an hour it gives its
// ticks without making them (an hour at a quarter speed is 432,000); past that, and for
// infinity, it is refused with its length, never wrapped round to one tick or allocated.
TEST(Ticks, EveryRecordingLengthIsSteppedOrRefusedWithItsLength) {
    constexpr double largest = std::numeric_limits<double>::max();
    constexpr double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        double duration, speed;
        std::int64_t count;  // 0: refused
        std::string length;
    };
    const Case cases[] = {
        {3600, 1, 108'000, ""},
        {3600, 0.25, 432'000, ""},
        {std::nextafter(3600.0, 0.0), 8, 13'500, ""},
        {5e-324, 1, 1, ""},
        {-0.0, 1, 1, ""},
        {std::numeric_limits<double>::quiet_NaN(), 1, 1, ""},
        {-infinity, 1, 1, ""},
        {std::nextafter(3600.0, 4000.0), 1, 0, "3600.0000000000005"},
        {10'000, 1, 0, "10000.0"},
        {1e6, 1, 0, "1000000.0"},
        {1e9, 8, 0, "1000000000.0"},
        {1e300, 1, 0, "1e+300"},
        {largest, 0.25, 0, "1.7976931348623157e+308"},
        {infinity, 1, 0, "inf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.duration);
        if (c.count == 0) {
            try {
                Ticks::make(c.duration, c.speed, 30);
                ADD_FAILURE() << "not refused";
            } catch (const HelperFailure& failure) {
                EXPECT_EQ(failure.message(), "the recording lasts " + c.length +
                                                 "s, longer than the 3600.0s a render takes");
                EXPECT_EQ(failure.status(), 400);
            }
            continue;
        }
        const Ticks ticks = Ticks::make(c.duration, c.speed, 30);
        EXPECT_EQ(ticks.count, c.count);
        const Ticks::Tick last = ticks.at(ticks.count - 1);
        EXPECT_GE(last.source, 0);
        EXPECT_LE(last.source, std::max(0.0, c.duration));  // NaN gives 0
        if (c.duration > 0) {
            EXPECT_GT(last.source, c.duration - c.speed / 30 - 1e-9);
        }
    }
}

TEST(RenderedSize, IsEvenNeverWiderThanTheSourceAndKeepsTheAspect) {
    struct Case {
        int width, height;
        std::optional<int> limit;
        std::pair<int, int> size;
    };
    const Case cases[] = {
        {1179, 2556, std::nullopt, {1180, 2556}},
        {1179, 2556, 400, {400, 868}},
        {1179, 2556, 2000, {1180, 2556}},
        {0, 100, std::nullopt, {2, 2}},
        {100, -5, 64, {2, 2}},
        {3, 1, std::nullopt, {4, 2}},
        {1, 1, std::nullopt, {2, 2}},
        {2560, 1440, 64, {64, 36}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(renderedSize(c.width, c.height, c.limit), c.size) << c.width << "x" << c.height;
    }
}

RecordedTouch tap(double t, std::string by = "person") {
    return {t, "tap", {{0.5, 0.5}}, 0.05, std::move(by)};
}

TEST(TouchMarks, ATapStaysFullThenFadesOut) {
    struct Case {
        double time;
        std::optional<double> alpha;
    };
    const Case cases[] = {{0.999, std::nullopt}, {1.0, 1.0}, {1.15, 1.0},
                          {1.325, 0.5},          {1.5, 0.0}, {1.501, std::nullopt}};
    for (const Case& c : cases) {
        const auto marks = TouchMarks::at({tap(1)}, c.time);
        if (!c.alpha) {
            EXPECT_TRUE(marks.empty()) << c.time;
            continue;
        }
        ASSERT_EQ(marks.size(), 1u) << c.time;
        EXPECT_NEAR(marks[0].alpha, *c.alpha, 1e-9) << c.time;
        EXPECT_EQ(marks[0].shape, (TouchMark::Shape{TouchMark::Ring{0.5, 0.5, 0.045}}));
        EXPECT_FALSE(marks[0].byAgent);
    }
    EXPECT_TRUE(TouchMarks::at({tap(1, "agent")}, 1)[0].byAgent);
    EXPECT_FALSE(TouchMarks::at({tap(1, "Agent")}, 1)[0].byAgent);
}

TEST(TouchMarks, ASwipeDrawsItsTrailToTheHeadThenFades) {
    const RecordedTouch swipe{0, "swipe", {{0.5, 0.8}, {0.5, 0.2}}, 1, "agent"};
    auto half = TouchMarks::at({swipe}, 0.5);
    ASSERT_EQ(half.size(), 2u);
    const auto& trail = std::get<TouchMark::Trail>(half[0].shape);
    ASSERT_EQ(trail.points.size(), 2u);
    EXPECT_EQ(trail.points[0], (TouchMark::Point{0.5, 0.8}));
    EXPECT_NEAR(trail.points[1][1], 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(half[0].alpha, 0.8);
    const auto& head = std::get<TouchMark::Ring>(half[1].shape);
    EXPECT_NEAR(head.y, 0.5, 1e-12);
    EXPECT_DOUBLE_EQ(head.radius, 0.045);

    const auto fading = TouchMarks::at({swipe}, 1.2);
    ASSERT_EQ(fading.size(), 2u);
    EXPECT_NEAR(std::get<TouchMark::Trail>(fading[0].shape).points.back()[1], 0.2, 1e-12);
    EXPECT_NEAR(fading[1].alpha, 1 - 0.2 / 0.35, 1e-12);
    EXPECT_NEAR(fading[0].alpha, 0.8 * (1 - 0.2 / 0.35), 1e-12);
}

TEST(TouchMarks, ALongPressGrowsAndBadPointsAreSkipped) {
    const RecordedTouch press{0, "long_press", {{0.1, 0.2}, {0.3, 0.4, 0.5}, {}}, 2, "person"};
    for (auto [time, radius] :
         {std::pair{0.0, 0.045}, {1.0, 0.05625}, {2.0, 0.0675}, {2.2, 0.0675}}) {
        const auto marks = TouchMarks::at({press}, time);
        ASSERT_EQ(marks.size(), 1u) << time;
        EXPECT_NEAR(std::get<TouchMark::Ring>(marks[0].shape).radius, radius, 1e-12) << time;
    }
    const RecordedTouch nothing{0, "tap", {{0.1}, {1, 2, 3}}, 0, "agent"};
    EXPECT_TRUE(TouchMarks::at({nothing}, 0).empty());
    // Marks come in the touches' order.
    const auto both = TouchMarks::at({tap(0, "agent"), tap(0)}, 0.1);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_TRUE(both[0].byAgent);
    EXPECT_FALSE(both[1].byAgent);
}

TEST(TouchMarks, APinchDrawsATrailAndARingForEachFinger) {
    RecordedTouch pinch{0, "pinch", {{0.4, 0.5}, {0.2, 0.5}}, 1, "agent"};
    pinch.pointsTwo = {{0.6, 0.5}, {0.8, 0.5}};
    const auto half = TouchMarks::at({pinch}, 0.5);
    ASSERT_EQ(half.size(), 4u);
    using Trail = TouchMark::Trail;
    using Ring = TouchMark::Ring;
    EXPECT_EQ(std::get<Trail>(half[0].shape).points.front(), (TouchMark::Point{0.4, 0.5}));
    EXPECT_NEAR(std::get<Ring>(half[1].shape).x, 0.3, 1e-12);
    EXPECT_EQ(std::get<Trail>(half[2].shape).points.front(), (TouchMark::Point{0.6, 0.5}));
    EXPECT_NEAR(std::get<Ring>(half[3].shape).x, 0.7, 1e-12);
    for (const auto& mark : half) EXPECT_TRUE(mark.byAgent);
    EXPECT_EQ(half[0].alpha, half[2].alpha);
    // Both fade together; a second list of bad points is no second finger.
    EXPECT_EQ(TouchMarks::at({pinch}, 1.2).size(), 4u);
    EXPECT_TRUE(TouchMarks::at({pinch}, 1.4).empty());
    pinch.pointsTwo = {{0.1}};
    EXPECT_EQ(TouchMarks::at({pinch}, 0.5).size(), 2u);
}

TEST(TouchMarks, AlongWalksThePolyline) {
    using P = TouchMark::Point;
    struct Case {
        std::vector<P> points;
        double fraction;
        std::vector<P> trail;
        P head;
    };
    const Case cases[] = {
        {{{0, 0}, {1, 0}, {1, 1}}, 0.75, {{0, 0}, {1, 0}, {1, 0.5}}, {1, 0.5}},
        {{{0, 0}, {1, 0}, {1, 1}}, 0.5, {{0, 0}, {1, 0}}, {1, 0}},
        {{{0, 0}, {1, 0}, {1, 1}}, 1, {{0, 0}, {1, 0}, {1, 1}}, {1, 1}},
        {{{0, 0}, {1, 0}}, 0, {{0, 0}, {0, 0}}, {0, 0}},
        {{{0.3, 0.3}, {0.3, 0.3}, {0.3, 0.3}}, 0.5, {{0.3, 0.3}}, {0.3, 0.3}},
        {{{0.2, 0.4}}, 1, {{0.2, 0.4}}, {0.2, 0.4}},
    };
    for (const Case& c : cases) {
        const auto along = TouchMarks::along(c.points, c.fraction);
        EXPECT_EQ(along.trail, c.trail) << c.fraction;
        EXPECT_EQ(along.head, c.head) << c.fraction;
    }
}

}  // namespace
}  // namespace tavrel
