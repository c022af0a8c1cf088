#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "HelperCore/Replay/TouchLog.hpp"

namespace tavrel {
namespace {

const ScreenGeometry screen{1179, 2556, 393, 852, 3};

HIDEvent touch(HIDEvent::Phase phase, double x, double y, std::int64_t finger = 0) {
    HIDEvent event;
    event.kind = HIDEvent::Kind::touch;
    event.phase = phase;
    event.x = x;
    event.y = y;
    event.finger = finger;
    return event;
}

constexpr auto down = HIDEvent::Phase::down;
constexpr auto up = HIDEvent::Phase::up;

// Wall and monotonic clocks a fixed distance apart, as they are within one run.
Moment at(double s) {
    return {1'700'000'000 + s, 500 + s};
}

struct Request {
    double s;
    std::vector<HIDEvent> events;
};

TEST(TouchLog, MakesOneTouchFromFirstFingerDownToLastFingerUp) {
    struct Case {
        const char* name;
        std::vector<Request> requests;
        std::string kind;
        std::size_t points;
        std::size_t pointsTwo;
        double duration;
    };
    const Case cases[] = {
        {"a tap in one request",
         {{1, {touch(down, 196.5, 426), touch(up, 196.5, 426)}}},
         "tap",
         1,
         0,
         0},
        {"a tap over two requests",
         {{1, {touch(down, 10, 10)}}, {1.05, {touch(up, 10, 10)}}},
         "tap",
         1,
         0,
         0.05},
        {"a press held still",
         {{1, {touch(down, 10, 10)}}, {1.8, {touch(up, 12, 11)}}},
         "long_press",
         2,
         0,
         0.8},
        {"a swipe",
         {{1, {touch(down, 100, 700)}},
          {1.1, {touch(down, 100, 500)}},
          {1.2, {touch(up, 100, 300)}}},
         "swipe",
         3,
         0,
         0.2},
        {"a slow drag is a swipe, not a long press",
         {{1, {touch(down, 100, 700)}}, {3, {touch(up, 100, 600)}}},
         "swipe",
         2,
         0,
         2},
        {"two fingers spreading",
         {{1, {touch(down, 180, 400), touch(down, 210, 400, 1)}},
          {1.5, {touch(up, 100, 400), touch(up, 290, 400, 1)}}},
         "pinch",
         2,
         2,
         0.5},
        {"two fingers turning",
         {{1, {touch(down, 150, 400), touch(down, 250, 400, 1)}},
          {1.5, {touch(up, 200, 350), touch(up, 200, 450, 1)}}},
         "rotate",
         2,
         2,
         0.5},
        {"the second finger lifts last",
         {{1, {touch(down, 150, 400), touch(down, 250, 400, 1)}},
          {1.2, {touch(up, 150, 400)}},
          {1.4, {touch(up, 250, 400, 1)}}},
         "pinch",
         1,
         1,
         0.4},
        {"a lift with no finger down is no touch",
         {{1, {touch(up, 10, 10)}}, {2, {touch(down, 20, 20), touch(up, 20, 20)}}},
         "tap",
         1,
         0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TouchLog log;
        for (const auto& request : c.requests) log.record(request.events, screen, at(request.s));
        const auto touches = log.since(std::nullopt, at(10));
        ASSERT_EQ(touches.size(), 1u);
        const auto& made = touches.front();
        EXPECT_EQ(made.kind, c.kind);
        EXPECT_EQ(made.points.size(), c.points);
        EXPECT_EQ(made.pointsTwo.size(), c.pointsTwo);
        EXPECT_NEAR(made.duration, c.duration, 1e-9);
        EXPECT_EQ(made.by, "agent");
    }
}

TEST(TouchLog, PointsAreFractionsOfTheScreenAndTimesFollowTheAskedClock) {
    TouchLog log;
    log.record({touch(down, 196.5, 426), touch(up, 196.5, 426)}, screen, at(1));
    log.record({touch(down, 98.25, 213)}, screen, at(4));
    log.record({HIDEvent{HIDEvent::Kind::button, down, 0, 0, "home", 0, 0}}, screen, at(5));
    log.record({touch(down, 196.5, 213)}, screen, at(6));

    const auto all = log.since(std::nullopt, at(7));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].points, (std::vector<std::vector<double>>{{0.5, 0.5}}));
    EXPECT_DOUBLE_EQ(all[0].t, at(1).wallS);
    // Still held: it counts up to the moment asked, and a button is no touch.
    EXPECT_EQ(all[1].points, (std::vector<std::vector<double>>{{0.25, 0.25}, {0.5, 0.25}}));
    EXPECT_DOUBLE_EQ(all[1].duration, 3);

    struct Case {
        std::optional<double> since;
        std::size_t count;
    };
    for (const auto& c : {Case{at(1).wallS, 2}, Case{at(1).wallS + 0.001, 1}, Case{at(4).wallS, 1},
                          Case{at(9).wallS, 0}}) {
        EXPECT_EQ(log.since(c.since, at(7)).size(), c.count) << *c.since;
    }

    const auto relative = log.relativeTo(at(2).monoS, at(7));
    ASSERT_EQ(relative.size(), 1u);
    EXPECT_DOUBLE_EQ(relative[0].t, 2);
}

TEST(TouchLog, StaysBoundedWhateverClientsSend) {
    TouchLog log(8);
    for (int index = 0; index < 100; ++index) {
        log.record({touch(down, index, 0), touch(up, index, 0)}, screen, at(index));
    }
    const auto kept = log.since(std::nullopt, at(200));
    ASSERT_EQ(kept.size(), 8u);
    EXPECT_EQ(kept.front().t, at(92).wallS);
    EXPECT_EQ(kept.back().t, at(99).wallS);

    // A finger held down and moved for ever keeps a thinned path with both of its ends.
    TouchLog drag;
    for (int index = 0; index < 10'000; ++index) {
        drag.record({touch(down, index % 393, index / 393.0)}, screen, at(index / 60.0));
    }
    drag.record({touch(up, 1, 1)}, screen, at(200));
    const auto path = drag.since(std::nullopt, at(201)).front().points;
    EXPECT_LE(path.size(), TouchLog::pathPoints);
    EXPECT_GE(path.size(), TouchLog::pathPoints / 2);
    EXPECT_EQ(path.front(), (std::vector<double>{0, 0}));
    EXPECT_EQ(path.back(), (std::vector<double>{1 / 393.0, 1 / 852.0}));
}

}  // namespace
}  // namespace tavrel
