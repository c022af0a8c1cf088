// The rules that choose a capture device, compare screens, turn pictures upright, keep a
// capture running and decide on the relaunch.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "HelperCore/Capture/CaptureChoice.hpp"
#include "HelperCore/Capture/CaptureDemand.hpp"
#include "HelperCore/Capture/Disclaim.hpp"
#include "HelperCore/Capture/Likeness.hpp"

namespace tavrel {
namespace {

TEST(CaptureChoice, PicksByIdentifierThenByExactName) {
    const std::vector<CaptureCandidate> two = {{"A", "Phone"}, {"B", "Phone"}};
    const std::vector<CaptureCandidate> mixed = {{"A", "Phone"}, {"B", "phone"}, {"C", "Pad"}};
    struct Case {
        const char* what;
        std::vector<CaptureCandidate> candidates;
        std::string name;
        std::optional<std::string> captureId;
        CaptureChoice expected;
    };
    const Case cases[] = {
        {"identifier of the second", two, "Phone", "B", CaptureChoice::use("B")},
        {"identifier wins over the name", mixed, "Other", "C", CaptureChoice::use("C")},
        {"unknown identifier falls back to the name", mixed, "Phone", "Z", CaptureChoice::use("A")},
        {"two of the name, in listed order", two, "Phone", std::nullopt,
         CaptureChoice::compare({"A", "B"})},
        {"case matters", mixed, "phone", std::nullopt, CaptureChoice::use("B")},
        {"none of the name", mixed, "iPhone", std::nullopt, CaptureChoice::none()},
        {"unknown identifier and no name", mixed, "iPhone", "Z", CaptureChoice::none()},
        {"nothing listed", {}, "Phone", "A", CaptureChoice::none()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CaptureChoice::pick(c.candidates, c.name, c.captureId), c.expected) << c.what;
}

Thumbnail filled(std::uint8_t level, std::size_t size = Likeness::size) {
    return Thumbnail(size, level);
}

TEST(Likeness, DistanceIsTheMeanAbsoluteDifference) {
    EXPECT_EQ(Likeness::distance(filled(0), filled(255)), 255.0);
    EXPECT_EQ(Likeness::distance(filled(10), filled(6)), 4.0);
    Thumbnail half = filled(0);
    for (std::size_t i = 0; i < half.size() / 2; ++i) half[i] = 100;
    EXPECT_EQ(Likeness::distance(half, filled(0)), 50.0);  // not a maximum or a sum
    EXPECT_EQ(Likeness::distance({}, {}), std::nullopt);
    EXPECT_EQ(Likeness::distance(filled(1), filled(1, 311)), std::nullopt);
}

TEST(Likeness, NearestTakesTheFirstOfEqualAndSkipsWhatCannotBeCompared) {
    using Among = std::vector<std::optional<Thumbnail>>;
    struct Case {
        const char* what;
        Thumbnail reference;
        Among among;
        std::optional<std::size_t> expected;
    };
    const Case cases[] = {
        {"equal distances: the first", filled(10), {filled(14), filled(6)}, 0},
        {"absent first entry", filled(10), {std::nullopt, filled(200)}, 1},
        {"nearest wins however far", filled(0), {filled(250), filled(255), filled(240)}, 2},
        {"other length is skipped", filled(10), {filled(10, 12), filled(90)}, 1},
        {"empty reference matches nothing", {}, {Thumbnail{}, filled(0)}, std::nullopt},
        {"nothing compared", filled(0), {std::nullopt}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Likeness::nearest(c.reference, c.among), c.expected) << c.what;
}

TEST(CaptureTurn, OnlyLandscapePicturesTurn) {
    EXPECT_EQ(captureTurnOf(1920, 1080), CaptureTurn::quarter);
    EXPECT_EQ(captureTurnOf(2556, 1179), CaptureTurn::quarter);
    EXPECT_EQ(captureTurnOf(1179, 2556), CaptureTurn::none);
    EXPECT_EQ(captureTurnOf(500, 500), CaptureTurn::none);
}

// (time, event) -> whether the capture runs and when it may stop.
TEST(CaptureDemand, RunsWhileHeldAndForTheLingerAfter) {
    enum class Event { hold, release, look };
    struct Step {
        double at;
        Event event;
        bool running;
        std::optional<double> idleAt;
    };
    struct Case {
        const char* what;
        double lingerS;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"never held",
         30,
         {{0, Event::look, false, std::nullopt}, {100, Event::look, false, std::nullopt}}},
        {"linger after the last release",
         30,
         {{0, Event::hold, true, std::nullopt},
          {5, Event::release, true, 35},
          {34.9, Event::look, true, 35},
          {35, Event::look, false, 35}}},
        {"a hold during the linger restarts it",
         30,
         {{0, Event::hold, true, std::nullopt},
          {0, Event::release, true, 30},
          {10, Event::hold, true, std::nullopt},
          {39, Event::look, true, std::nullopt},
          {41, Event::release, true, 71},
          {70.9, Event::look, true, 71},
          {71, Event::look, false, 71}}},
        {"two holds and one release",
         30,
         {{0, Event::hold, true, std::nullopt},
          {1, Event::hold, true, std::nullopt},
          {2, Event::release, true, std::nullopt},
          {1000, Event::look, true, std::nullopt}}},
        {"a release without a hold does not go below none",
         30,
         {{0, Event::release, true, 30},
          {1, Event::hold, true, std::nullopt},
          {2, Event::release, true, 32},
          {32, Event::look, false, 32}}},
        {"no linger", 0, {{0, Event::hold, true, std::nullopt}, {1, Event::release, false, 1}}},
    };
    for (const auto& c : cases) {
        CaptureDemand demand(c.lingerS);
        for (const auto& step : c.steps) {
            if (step.event == Event::hold) demand.hold(step.at);
            if (step.event == Event::release) demand.release(step.at);
            EXPECT_EQ(demand.running(step.at), step.running) << c.what << " at " << step.at;
            EXPECT_EQ(demand.idleAt(), step.idleAt) << c.what << " at " << step.at;
            EXPECT_GE(demand.holders(), 0) << c.what;
        }
    }
}

TEST(Disclaim, OnlyTheMarkerOneSkipsTheRelaunch) {
    using Environment = std::map<std::string, std::string>;
    EXPECT_FALSE(Disclaim::needed(Environment{{"TAVREL_HELPER_DISCLAIMED", "1"}}));
    for (const char* value : {"", "0", "yes", "true", "1 ", "01"})
        EXPECT_TRUE(Disclaim::needed(Environment{{"TAVREL_HELPER_DISCLAIMED", value}})) << value;
    EXPECT_TRUE(Disclaim::needed(Environment{{"PATH", "/bin"}}));
}

}  // namespace
}  // namespace tavrel
