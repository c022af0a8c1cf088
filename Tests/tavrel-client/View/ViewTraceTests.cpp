// The client's stages of one traced tap, whatever order the lanes' and the pump's news comes in.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tavrel-client/View/ViewTrace.hpp"

namespace tavrel::client {
namespace {

using Clock = ViewTrace::Clock;
using namespace std::chrono_literals;

const Clock::time_point zero{};
Clock::time_point at(int ms) {
    return zero + std::chrono::milliseconds(ms);
}
double ms(int value) {
    return ViewTrace::ms(at(value));
}

// One piece of news for the trace: "begin", "answered", "queued SERIAL AT", "sent SERIAL AT".
struct Step {
    std::string what;
    std::uint64_t serial = 0;
    int when = 0;
};

void play(ViewTrace& trace, const std::vector<Step>& steps, std::uint64_t& messages) {
    for (const auto& step : steps) {
        if (step.what == "begin") trace.begin(7, at(10));
        if (step.what == "answered") trace.answered(7, at(11), at(13));
        if (step.what == "queued") trace.queued(step.serial, at(step.when));
        if (step.what == "sent") trace.sent(step.serial, ++messages, at(step.when));
    }
}

TEST(ViewTrace, FindsTheFirstChunkAfterTheRequestWentOutInAnyOrder) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        // The chunk's pump time, its sending time and its message number; 0 when unfinished.
        int chunk, sent;
        std::uint64_t message;
    };
    const std::vector<Case> cases = {
        {"answer first", {{"begin"}, {"answered"}, {"queued", 1, 15}, {"sent", 1, 16}}, 15, 16, 1},
        {"chunk before the answer",
         {{"begin"}, {"queued", 1, 12}, {"sent", 1, 12}, {"answered"}},
         12,
         12,
         1},
        // A unit that came before the request went out cannot show the tap.
        {"a unit from before the request",
         {{"begin"},
          {"queued", 1, 10},
          {"sent", 1, 10},
          {"answered"},
          {"queued", 2, 14},
          {"sent", 2, 15}},
         14,
         15,
         2},
        {"later units do not replace the first",
         {{"begin"},
          {"answered"},
          {"queued", 1, 14},
          {"queued", 2, 15},
          {"sent", 1, 16},
          {"sent", 2, 17}},
         14,
         16,
         1},
        {"no answer yet", {{"begin"}, {"queued", 1, 14}, {"sent", 1, 15}}, 0, 0, 0},
        {"not sent yet", {{"begin"}, {"answered"}, {"queued", 1, 14}}, 0, 0, 0},
        {"nothing begun", {{"answered"}, {"queued", 1, 14}, {"sent", 1, 15}}, 0, 0, 0},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        ViewTrace trace;
        std::uint64_t messages = 0;
        play(trace, test.steps, messages);
        const auto done = trace.finished();
        if (test.chunk == 0) {
            EXPECT_FALSE(done);
            continue;
        }
        ASSERT_TRUE(done);
        EXPECT_EQ((*done)["id"], 7);
        EXPECT_DOUBLE_EQ((*done)["received"].get<double>(), ms(10));
        EXPECT_DOUBLE_EQ((*done)["written"].get<double>(), ms(11));
        EXPECT_DOUBLE_EQ((*done)["answered"].get<double>(), ms(13));
        EXPECT_DOUBLE_EQ((*done)["chunk"].get<double>(), ms(test.chunk));
        EXPECT_DOUBLE_EQ((*done)["sent"].get<double>(), ms(test.sent));
        EXPECT_EQ((*done)["video"], test.message);
        // Reported once.
        EXPECT_FALSE(trace.finished());
        EXPECT_EQ(trace.state(), ViewTrace::State::idle);
    }
}

TEST(ViewTrace, ANewTapReplacesTheOneUnderWayAndOthersAnswersAreNotItsOwn) {
    ViewTrace trace;
    trace.begin(1, at(10));
    trace.queued(1, at(12));
    trace.begin(2, at(20));
    trace.answered(1, at(11), at(13));  // the old tap's answer
    trace.sent(1, 1, at(21));
    EXPECT_FALSE(trace.finished());
    trace.answered(2, at(21), at(22));
    trace.queued(2, at(23));
    trace.sent(2, 2, at(24));
    const auto done = trace.finished();
    ASSERT_TRUE(done);
    EXPECT_EQ((*done)["id"], 2);
    EXPECT_DOUBLE_EQ((*done)["chunk"].get<double>(), ms(23));
}

TEST(ViewTrace, LetsGoOfATapThatNeverHearsItsAnswer) {
    ViewTrace trace;
    trace.begin(1, at(10));
    for (std::uint64_t serial = 1; serial <= 40; ++serial) trace.queued(serial, at(11));
    EXPECT_EQ(trace.state(), ViewTrace::State::idle);
    trace.answered(1, at(10), at(11));
    trace.sent(1, 1, at(12));
    EXPECT_FALSE(trace.finished());
}

}  // namespace
}  // namespace tavrel::client
