#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "HelperCore/FrameScheduler.hpp"

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

void run(FrameScheduler scheduler, const std::vector<Step>& steps) {
    for (std::size_t row = 0; row < steps.size(); ++row) {
        const auto& step = steps[row];
        switch (step.event) {
            case Event::changed:
                EXPECT_EQ(scheduler.frameChanged(step.t), step.expected) << describe(step, row);
                break;
            case Event::tick:
                EXPECT_EQ(scheduler.tick(step.t), step.expected) << describe(step, row);
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
                                          {10.05, Event::changed, wait(10.1)},
                                          {10.07, Event::tick, wait(10.1)},
                                          {10.1, Event::changed, delta},
                                          {10.1, Event::encodedDelta},
                                          {10.15, Event::tick, idle},
                                          {11.9, Event::changed, delta},
                                          {11.9, Event::encodedDelta},
                                          {12.0, Event::changed, key},
                                          {12.0, Event::encodedKey},
                                          {12.05, Event::changed, wait(12.1)},
                                          {13.9, Event::tick, delta},
                                      });
}

TEST(FrameScheduler, EncodesAPictureThatWaitedOnTheNextTick) {
    run(FrameScheduler(10, 2, false), {
                                          {0, Event::changed, key},
                                          {0, Event::encodedKey},
                                          {0.02, Event::changed, wait(0.1)},
                                          {0.05, Event::tick, wait(0.1)},
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
                                            {0.15, Event::changed, wait(0.2)},
                                            {0.2, Event::tick, key},
                                            {0.2, Event::encodedDelta},
                                            // Still wanted: a delta frame does not grant it.
                                            {0.35, Event::changed, key},
                                            {0.35, Event::encodedKey},
                                            {0.5, Event::changed, delta},
                                        });
    // A still screen: with idle key frames at once, ignoring the frame rate; without, never.
    run(FrameScheduler(10, 100, true), {
                                           {0, Event::encodedKey},
                                           {0.01, Event::wantKey},
                                           {0.01, Event::tick, key},
                                       });
    run(FrameScheduler(10, 100, false), {
                                            {0, Event::encodedKey},
                                            {0.01, Event::wantKey},
                                            {50, Event::tick, idle},
                                            {50, Event::changed, key},
                                        });
}

TEST(FrameScheduler, NeverEncodesAtATimeThatIsNotANumber) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    FrameScheduler scheduler(10, 2, true);
    scheduler.encoded(0, true);
    EXPECT_EQ(scheduler.frameChanged(nan), wait(0.1));
    EXPECT_EQ(scheduler.tick(nan), wait(0.1));
}

TEST(FrameScheduler, CountsAnFpsBelowOneAsOne) {
    EXPECT_EQ(FrameScheduler(0, 1, false).minimumInterval, 1.0);
    EXPECT_EQ(FrameScheduler(-30, 1, false).minimumInterval, 1.0);
    EXPECT_EQ(FrameScheduler(120, 1, false).minimumInterval, 1.0 / 120);
    run(FrameScheduler(0, 10, false), {
                                          {3, Event::encodedKey},
                                          {3.5, Event::changed, wait(4)},
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
