#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "HelperCore/Video/FrameScheduler.hpp"

namespace tavrel {
namespace {

enum class Event { changed, tick, encodedKey, encodedDelta, wantKey };

/// One row: at `t`, `event` happens; `changed` and `tick` answer `expected`.
struct Step {
    double t;
    Event event;
    Decision expected = Decision::idle();
};

std::string describe(const Step& step, std::size_t row) {
    static const char* names[] = {"changed", "tick", "encoded(key)", "encoded", "wantKey"};
    std::ostringstream text;
    text << "row " << row << ": " << names[static_cast<int>(step.event)] << " at " << step.t;
    return text.str();
}

// Wait times are sums of fractions of an interval: equal to a rounding error.
void expectDecision(const Decision& actual, const Decision& expected, const std::string& row) {
    EXPECT_EQ(actual.kind, expected.kind) << row << ": " << actual;
    if (actual.kind == expected.kind && actual.kind == Decision::Kind::wait) {
        EXPECT_NEAR(actual.until, expected.until, 1e-12) << row;
    } else {
        EXPECT_EQ(actual, expected) << row;
    }
}

void run(FrameScheduler scheduler, const std::vector<Step>& steps) {
    for (std::size_t row = 0; row < steps.size(); ++row) {
        const auto& step = steps[row];
        switch (step.event) {
            case Event::changed:
                expectDecision(scheduler.frameChanged(step.t), step.expected, describe(step, row));
                break;
            case Event::tick:
                expectDecision(scheduler.tick(step.t), step.expected, describe(step, row));
                break;
            case Event::encodedKey:
                scheduler.encoded(step.t, true);
                break;
            case Event::encodedDelta:
                scheduler.encoded(step.t, false);
                break;
            case Event::wantKey:
                scheduler.wantKeyFrame();
                break;
        }
    }
}

const Decision key = Decision::encode(true);
const Decision delta = Decision::encode(false);
const Decision idle = Decision::idle();
Decision wait(double until) {
    return Decision::wait(until);
}

TEST(FrameScheduler, StartsWithAKeyFrameWhicheverEventComesFirst) {
    run(FrameScheduler(30, 2, false), {{0, Event::tick, key}, {5, Event::tick, key}});
    run(FrameScheduler(30, 2, false), {{0, Event::changed, key}, {0.001, Event::changed, key}});
    // A key frame alone is not enough: both times must be known.
    run(FrameScheduler(30, 2, false), {{1, Event::encodedDelta}, {1.5, Event::changed, key}});
}

TEST(FrameScheduler, HoldsToTheFrameRateAndSpacesKeyFrames) {
    // fps 10, key frames at most 2 s apart.
    run(FrameScheduler(10, 2, false), {
                                          {10, Event::encodedKey},
                                          // At least 3/4 of an interval apart.
                                          {10.05, Event::changed, wait(10.075)},
                                          {10.07, Event::tick, wait(10.075)},
                                          {10.1, Event::changed, delta},
                                          {10.1, Event::encodedDelta},
                                          {10.15, Event::tick, idle},
                                          {11.9, Event::changed, delta},
                                          {11.9, Event::encodedDelta},
                                          {12.0, Event::changed, key},
                                          {12.0, Event::encodedKey},
                                          {12.05, Event::changed, wait(12.075)},
                                          {13.9, Event::tick, delta},
                                      });
}

TEST(FrameScheduler, EncodesAPictureThatWaitedOnTheNextTick) {
    run(FrameScheduler(10, 2, false), {
                                          {0, Event::changed, key},
                                          {0, Event::encodedKey},
                                          {0.02, Event::changed, wait(0.075)},
                                          {0.05, Event::tick, wait(0.075)},
                                          {0.1, Event::tick, delta},
                                          // The caller could not encode: it stays due.
                                          {0.3, Event::tick, delta},
                                          {2.5, Event::tick, key},
                                          {2.5, Event::encodedKey},
                                          {2.6, Event::tick, idle},
                                      });
}

TEST(FrameScheduler, KeepsAStillScreenIdleUnlessIdleKeyFramesAreOn) {
    run(FrameScheduler(30, 1, false), {
                                          {0, Event::encodedKey},
                                          {0.5, Event::tick, idle},
                                          {1, Event::tick, idle},
                                          {1e6, Event::tick, idle},
                                      });
    run(FrameScheduler(30, 1, true), {
                                         {0, Event::encodedKey},
                                         {0.5, Event::tick, idle},
                                         {0.999, Event::tick, idle},
                                         {1, Event::tick, key},
                                         {1, Event::encodedKey},
                                         {1.5, Event::tick, idle},
                                         // A delta frame does not put off the next key frame.
                                         {1.6, Event::changed, delta},
                                         {1.6, Event::encodedDelta},
                                         {2.0, Event::tick, key},
                                     });
}

TEST(FrameScheduler, AnswersAKeyFrameWishAtTheNextAllowedEncode) {
    run(FrameScheduler(10, 100, false), {
                                            {0, Event::encodedKey},
                                            {0.1, Event::encodedDelta},
                                            {0.15, Event::wantKey},
                                            {0.15, Event::changed, wait(0.175)},
                                            {0.2, Event::tick, key},
                                            {0.2, Event::encodedDelta},
                                            // Still wanted: a delta frame does not grant it.
                                            {0.35, Event::changed, key},
                                            {0.35, Event::encodedKey},
                                            {0.5, Event::changed, delta},
                                        });
    // A still screen: the wish is granted within the frame rate, idle key frames or not (a
    // client that lost frames must not wait for the screen to change).
    run(FrameScheduler(10, 100, true), {
                                           {0, Event::encodedKey},
                                           {0.01, Event::wantKey},
                                           {0.01, Event::tick, wait(0.075)},
                                           {0.08, Event::tick, key},
                                       });
    run(FrameScheduler(10, 100, false), {
                                            {0, Event::encodedKey},
                                            {0.01, Event::wantKey},
                                            {50, Event::tick, key},
                                            {50, Event::encodedKey},
                                            {60, Event::tick, idle},
                                        });
    // Idle key frames due all the time still come no faster than the frame rate.
    run(FrameScheduler(1, 1e-9, true), {
                                           {0, Event::encodedKey},
                                           {0.001, Event::tick, wait(0.75)},
                                           {0.5, Event::tick, wait(0.75)},
                                           {0.75, Event::tick, key},
                                           {0.75, Event::encodedKey},
                                           {0.8, Event::tick, wait(1.5)},
                                       });
}

// Plays a source that redraws every `period` s, each picture reaching the scheduler up to
// `jitter` s late, through the way the stream acts on decisions: encode at once, or come back
// at the wait time plus a wake-up delay (by when a newer picture may have replaced it). As
// when a stream starts, a first encode of the screen as it was comes `lead` s before the
// first new picture, at whatever phase.
struct Playback {
    int encodes = 0;
    double longestDelay = 0;   // from a picture's arrival to its encode, once settled
    double shortestGap = 1e9;  // between two encodes
    double lastEncodeTime = -1;
};

Playback play(std::int64_t fps, double period, double jitter, double wakeDelay, double lead,
              int pictures) {
    FrameScheduler scheduler(fps, 1000, false);
    Playback result;
    constexpr double settled = 0.2;
    scheduler.encoded(-lead, true);
    result.lastEncodeTime = -lead;
    std::uint32_t noise = 12345;
    auto encodeAt = [&](double t, double arrived, bool key) {
        scheduler.encoded(t, key);
        ++result.encodes;
        if (arrived >= settled) result.longestDelay = std::max(result.longestDelay, t - arrived);
        result.shortestGap = std::min(result.shortestGap, t - result.lastEncodeTime);
        result.lastEncodeTime = t;
    };
    std::optional<double> wakeAt;
    double pendingArrival = 0;
    for (int picture = 0; picture < pictures; ++picture) {
        noise = noise * 1664525u + 1013904223u;
        const double arrival = picture * period + jitter * (noise >> 8) / double(1 << 24);
        if (wakeAt && *wakeAt <= arrival) {
            const auto decision = scheduler.tick(*wakeAt);
            if (decision.kind == Decision::Kind::encode) {
                encodeAt(*wakeAt, pendingArrival, decision.key);
            }
            wakeAt.reset();
        }
        const auto decision = scheduler.frameChanged(arrival);
        pendingArrival = arrival;
        if (decision.kind == Decision::Kind::encode) {
            encodeAt(arrival, arrival, decision.key);
        } else if (decision.kind == Decision::Kind::wait && !wakeAt) {
            wakeAt = decision.until + wakeDelay;
        }
    }
    if (wakeAt && scheduler.tick(*wakeAt).kind == Decision::Kind::encode) {
        encodeAt(*wakeAt, pendingArrival, false);
    }
    return result;
}

TEST(FrameScheduler, KeepsUpWithASourceAtItsOwnFrameRateDespiteJitter) {
    struct Row {
        std::int64_t fps;
        double sourceHz, jitter, wakeDelay, lead;
        int minimumEncodes, maximumEncodes;
        double longestDelay;
    };
    // 600 pictures each; a source at the stream's rate loses none and, after a few frames
    // to find its phase, waits at most the jitter plus one wake-up however long it runs; a
    // faster one is held to the ceiling.
    const Row rows[] = {
        {60, 60, 0, 0, 0.001, 600, 600, 1e-9},
        {60, 60, 0, 0, 0.016, 600, 600, 1e-9},
        {60, 60, 0.002, 0.0002, 0.001, 599, 600, 0.0023},
        {60, 60, 0.002, 0.0002, 0.008, 599, 600, 0.0023},
        {60, 60, 0.002, 0.0002, 0.016, 599, 600, 0.0023},
        {60, 60, 0.004, 0.001, 0.012, 595, 600, 0.0055},
        {30, 60, 0.002, 0.0002, 0.01, 299, 302, 0.0175},
        {60, 240, 0.001, 0.0002, 0.01, 149, 152, 0.0175},
    };
    for (const auto& row : rows) {
        const auto result =
            play(row.fps, 1 / row.sourceHz, row.jitter, row.wakeDelay, row.lead, 600);
        const std::string name = std::to_string(row.fps) + " fps over " +
                                 std::to_string(row.sourceHz) + " Hz, jitter " +
                                 std::to_string(row.jitter) + ", lead " + std::to_string(row.lead);
        EXPECT_GE(result.encodes, row.minimumEncodes) << name;
        EXPECT_LE(result.encodes, row.maximumEncodes) << name;
        EXPECT_LE(result.longestDelay, row.longestDelay) << name;
        EXPECT_GE(result.shortestGap, 0.75 / static_cast<double>(row.fps) - 1e-9) << name;
    }
}

TEST(FrameScheduler, RunsAheadOfTheSteadyScheduleByOneIntervalAtMost) {
    // fps 8: an interval of 1/8 s, a shortest gap of 3/32 s.
    run(FrameScheduler(8, 100, false), {
                                           {0, Event::encodedKey},
                                           {0.09375, Event::encodedDelta},
                                           {0.1875, Event::encodedDelta},
                                           {0.28125, Event::changed, delta},
                                           {0.28125, Event::encodedDelta},
                                           {0.375, Event::changed, delta},
                                           {0.375, Event::encodedDelta},
                                           // Five encodes in three intervals, and no more:
                                           // the sixth waits for the schedule.
                                           {0.46875, Event::changed, wait(0.5)},
                                           {0.49, Event::tick, wait(0.5)},
                                           {0.5, Event::tick, delta},
                                           {0.5, Event::encodedDelta},
                                           {0.5625, Event::changed, wait(0.625)},
                                           // A pause: the next one goes at once.
                                           {5, Event::changed, delta},
                                       });
}

TEST(FrameScheduler, NeverEncodesAtATimeThatIsNotANumber) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    FrameScheduler scheduler(10, 2, true);
    scheduler.encoded(0, true);
    expectDecision(scheduler.frameChanged(nan), wait(0.075), "changed");
    expectDecision(scheduler.tick(nan), wait(0.075), "tick");
}

TEST(FrameScheduler, CountsAnFpsBelowOneAsOne) {
    EXPECT_EQ(FrameScheduler(0, 1, false).minimumInterval, 1.0);
    EXPECT_EQ(FrameScheduler(-30, 1, false).minimumInterval, 1.0);
    EXPECT_EQ(FrameScheduler(120, 1, false).minimumInterval, 1.0 / 120);
    run(FrameScheduler(0, 10, false), {
                                          {3, Event::encodedKey},
                                          {3.5, Event::changed, wait(3.75)},
                                          {4, Event::changed, delta},
                                      });
}

TEST(FrameScheduler, RecordsEncodesAndOnlyKeyFramesMoveTheKeyTime) {
    FrameScheduler scheduler(30, 2, false);
    scheduler.wantKeyFrame();
    scheduler.frameChanged(1);
    scheduler.encoded(1, false);
    EXPECT_EQ(scheduler.lastEncode, 1.0);
    EXPECT_EQ(scheduler.lastKey, std::nullopt);
    EXPECT_TRUE(scheduler.keyWanted);
    EXPECT_FALSE(scheduler.dirty);
    scheduler.encoded(2, true);
    EXPECT_EQ(scheduler.lastKey, 2.0);
    EXPECT_FALSE(scheduler.keyWanted);
    // tick changes nothing.
    const auto before = scheduler;
    scheduler.tick(100);
    EXPECT_EQ(scheduler.lastEncode, before.lastEncode);
    EXPECT_EQ(scheduler.dirty, before.dirty);
}

TEST(Decision, ComparesCaseAndPayloadAndPrintsItself) {
    EXPECT_EQ(Decision::encode(true), Decision::encode(true));
    EXPECT_NE(Decision::encode(true), Decision::encode(false));
    EXPECT_NE(Decision::wait(1), Decision::wait(2));
    EXPECT_NE(Decision::wait(0), Decision::idle());
    EXPECT_NE(Decision::encode(false), Decision::idle());
    std::ostringstream text;
    text << Decision::encode(true) << " " << Decision::wait(1.5) << " " << Decision::idle();
    EXPECT_EQ(text.str(), "encode(key: true) wait(until: 1.5) idle");
}

}  // namespace
}  // namespace tavrel
