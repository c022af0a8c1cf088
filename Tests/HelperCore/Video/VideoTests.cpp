#include <gtest/gtest.h>

#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Base/JSONMembers.hpp"
#include "HelperCore/Video/EncoderPlan.hpp"
#include "HelperCore/Video/StreamSettings.hpp"

namespace tavrel {
namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
const StreamSettings good{30, 0.5, 2, 2000000};

TEST(StreamSettings, WritesAndReadsItsFourKeys) {
    EXPECT_EQ(JSON::encode(good), R"({"bitrate":2000000,"fps":30,"key_frame_s":2.0,"scale":0.5})");
    EXPECT_EQ(nlohmann::json::parse(JSON::encode(good)).get<StreamSettings>(), good);
    // Out-of-range values travel unchanged; other keys are ignored.
    const auto read =
        nlohmann::json::parse(R"({"fps":-4,"scale":7,"key_frame_s":0,"bitrate":1,"extra":"x"})")
            .get<StreamSettings>();
    EXPECT_EQ(read, (StreamSettings{-4, 7, 0, 1}));
}

TEST(StreamSettings, RefusesMissingKeysAndNumbersOfTheWrongKind) {
    const char* bad[] = {
        R"({"scale":1,"key_frame_s":1,"bitrate":100000})",
        R"({"fps":30,"scale":1,"key_frame_s":1})",
        R"({"fps":30.5,"scale":1,"key_frame_s":1,"bitrate":100000})",
        R"({"fps":"30","scale":1,"key_frame_s":1,"bitrate":100000})",
        R"({"fps":30,"scale":"1","key_frame_s":1,"bitrate":100000})",
        R"({"fps":30,"scale":1,"key_frame_s":null,"bitrate":100000})",
        R"({"fps":30,"scale":1,"key_frame_s":1,"bitrate":9223372036854775808})",
        R"([30,1,1,100000])",
    };
    for (const char* text : bad)
        EXPECT_THROW(nlohmann::json::parse(text).get<StreamSettings>(), JSONMemberError) << text;
    // A whole number written with a fraction is an integer all the same.
    EXPECT_EQ(nlohmann::json::parse(R"({"fps":30.0,"scale":0.5,"key_frame_s":2,"bitrate":2e6})")
                  .get<StreamSettings>(),
              good);
}

void expectRefused(const StreamSettings& settings, std::int64_t width, std::int64_t height,
                   const std::string& message, int status) {
    try {
        EncoderPlan::make(settings, width, height);
        ADD_FAILURE() << "planned, expected: " << message;
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.message(), message);
        EXPECT_EQ(failure.status(), status) << message;
    }
}

TEST(EncoderPlan, ReportsTheFirstFailureInItsOrder) {
    const StreamSettings allBad{0, 0, 0, 0};
    struct Case {
        StreamSettings settings;
        std::int64_t width, height;
        std::string message;
        int status;
    };
    const Case cases[] = {
        {allBad, 0, 0, "the screen has no picture yet", 503},
        {good, 1179, 0, "the screen has no picture yet", 503},
        {good, -1, 2556, "the screen has no picture yet", 503},
        {allBad, 1179, 2556, "fps must be 1 to 120", 400},
        {{121, 1, 1, 100000}, 1, 1, "fps must be 1 to 120", 400},
        {{30, 0, 0, 0}, 1, 1, "scale must be more than 0 and at most 1", 400},
        {{30, -0.5, 1, 100000}, 1, 1, "scale must be more than 0 and at most 1", 400},
        {{30, 1.0000001, 1, 100000}, 1, 1, "scale must be more than 0 and at most 1", 400},
        {{30, nan, 1, 100000}, 1, 1, "scale must be more than 0 and at most 1", 400},
        {{30, inf, 1, 100000}, 1, 1, "scale must be more than 0 and at most 1", 400},
        {{30, 1, 0, 0}, 1, 1, "key_frame_s must be more than 0", 400},
        {{30, 1, -1, 100000}, 1, 1, "key_frame_s must be more than 0", 400},
        {{30, 1, inf, 100000}, 1, 1, "key_frame_s must be more than 0", 400},
        {{30, 1, nan, 100000}, 1, 1, "key_frame_s must be more than 0", 400},
        {{30, 1, 1, 99999}, 1, 1, "bitrate must be at least 100000", 400},
        {{30, 1, 1, std::numeric_limits<std::int64_t>::min()},
         1,
         1,
         "bitrate must be at least 100000",
         400},
        // bitrate x 3 would overflow.
        {{30, 1, 1, EncoderPlan::maximumBitrate + 1},
         1,
         1,
         "bitrate must be at most 3074457345618258602",
         400},
        {{30, 1, 1, std::numeric_limits<std::int64_t>::max()},
         1,
         1,
         "bitrate must be at most 3074457345618258602",
         400},
    };
    for (const auto& c : cases) expectRefused(c.settings, c.width, c.height, c.message, c.status);
}

TEST(EncoderPlan, AcceptsTheEdgesOfEachRangeAndCopiesTheSettings) {
    struct Case {
        StreamSettings settings;
        EncoderPlan expected;
    };
    const auto maximum = EncoderPlan::maximumBitrate;
    const Case cases[] = {
        {{1, 1, 0.001, 100000}, {100, 50, 1, 0.001, 100000, 18750}},
        {{120, 1, 1e9, 100000}, {100, 50, 120, 1e9, 100000, 18750}},
        // Three sixteenths of the bit rate, rounded down: 300003 / 16 = 18750.19.
        {{30, 1, 2, 100001}, {100, 50, 30, 2, 100001, 18750}},
        {{30, 1, 2, 100006}, {100, 50, 30, 2, 100006, 18751}},
        {{30, 1, 2, maximum}, {100, 50, 30, 2, maximum, maximum * 3 / 16}},
    };
    for (const auto& c : cases) EXPECT_EQ(EncoderPlan::make(c.settings, 100, 50), c.expected);
}

TEST(EncoderPlan, RoundsTheScaledSizeToTheNearestEvenNumberAtLeastTwo) {
    struct Case {
        std::int64_t side;
        double scale;
        std::int64_t expected;
    };
    const Case cases[] = {
        {1179, 1, 1180},
        {1179, 0.5, 590},  // 294.75 halves round to 295
        {2556, 0.25, 640},
        {3, 0.1, 2},
        {1, 1, 2},
        // Halves go away from zero: 2.5 and 4.5 halves give 6 and 10, not 4 and 8.
        {5, 1, 6},
        {9, 1, 10},
        {10, 1, 10},
        {std::numeric_limits<std::int64_t>::max(), 1, std::numeric_limits<std::int64_t>::max() - 1},
    };
    for (const auto& c : cases) {
        const auto plan = EncoderPlan::make({30, c.scale, 1, 100000}, c.side, c.side);
        EXPECT_EQ(plan.width, c.expected) << c.side << " at " << c.scale;
        EXPECT_EQ(plan.height, c.expected) << c.side << " at " << c.scale;
    }
    const auto plan = EncoderPlan::make({30, 0.5, 1, 100000}, 1179, 2556);
    EXPECT_EQ(plan.width, 590);
    EXPECT_EQ(plan.height, 1278);
}

}  // namespace
}  // namespace tavrel
