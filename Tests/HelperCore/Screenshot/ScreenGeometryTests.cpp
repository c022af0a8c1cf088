#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"

namespace tavrel {
namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

TEST(ScreenGeometry, RoundsPixelsAndPointsHalfAwayFromZero) {
    struct Case {
        double width, height, scale;
        ScreenGeometry expected;
    };
    const Case cases[] = {
        {1179, 2556, 3, {1179, 2556, 393, 852, 3}},
        {750, 1334, 2, {750, 1334, 375, 667, 2}},
        {1640, 2360, 2, {1640, 2360, 820, 1180, 2}},
        {1179.5, 2555.5, 1, {1180, 2556, 1180, 2556, 1}},
        {1179.49, 2556.2, 3, {1179, 2556, 393, 852, 3}},
        {3, 5, 2, {3, 5, 2, 3, 2}},  // 1.5 and 2.5 points both round up
        {1, 1, 2, {1, 1, 1, 1, 2}},
        {1000, 1000, 0.5, {1000, 1000, 2000, 2000, 0.5}},
        {1179, 2556, 2.9999999, {1179, 2556, 393, 852, 2.9999999}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ScreenGeometry::of(c.width, c.height, c.scale), c.expected)
            << c.width << "x" << c.height << " at " << c.scale;
    }
}

TEST(ScreenGeometry, RefusesWhatIsNoScreenWithTheInputsInTheMessage) {
    struct Case {
        double width, height, scale;
        const char* message;
    };
    const Case cases[] = {
        {0, 2556, 3, "the device reports no screen size (0.0x2556.0 at 3.0x)"},
        {1179, 0.5, 3, "the device reports no screen size (1179.0x0.5 at 3.0x)"},
        {-1, 2556, 3, "the device reports no screen size (-1.0x2556.0 at 3.0x)"},
        {1179, 2556, 0, "the device reports no screen size (1179.0x2556.0 at 0.0x)"},
        {1179, 2556, -2, "the device reports no screen size (1179.0x2556.0 at -2.0x)"},
        {nan, 2556, 3, "the device reports no screen size (nanx2556.0 at 3.0x)"},
        {1179, inf, 3, "the device reports no screen size (1179.0xinf at 3.0x)"},
        {1179, 2556, -inf, "the device reports no screen size (1179.0x2556.0 at -infx)"},
        {1179, 2556, nan, "the device reports no screen size (1179.0x2556.0 at nanx)"},
        // Too large for a size, or less than a point wide: still no screen.
        {1e300, 2556, 3, "the device reports no screen size (1e+300x2556.0 at 3.0x)"},
        {1179, 2556, 1e-300, "the device reports no screen size (1179.0x2556.0 at 1e-300x)"},
        {1, 1, 3, "the device reports no screen size (1.0x1.0 at 3.0x)"},
        {1179, 2556, 5000, "the device reports no screen size (1179.0x2556.0 at 5000.0x)"},
    };
    for (const auto& c : cases) {
        try {
            ScreenGeometry::of(c.width, c.height, c.scale);
            ADD_FAILURE() << "accepted " << c.message;
        } catch (const HelperFailure& failure) {
            EXPECT_EQ(failure, HelperFailure(c.message, 502));
        }
    }
}

TEST(NumberText, WritesTheShortestExactDecimal) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {1179, "1179.0"},
        {0, "0.0"},
        {-0.0, "-0.0"},
        {3, "3.0"},
        {0.1, "0.1"},
        {2.9999999, "2.9999999"},
        {1.0 / 3, "0.3333333333333333"},
        {-12.25, "-12.25"},
        {100, "100.0"},
        {1e15, "1000000000000000.0"},
        {9007199254740992.0, "9007199254740992.0"},
        {1e16, "1e+16"},
        {2.5e20, "2.5e+20"},
        {0.0001, "0.0001"},
        {0.00012, "0.00012"},
        {0.00001, "1e-05"},
        {5e-324, "5e-324"},
        {inf, "inf"},
        {-inf, "-inf"},
        {nan, "nan"},
    };
    for (const auto& c : cases) EXPECT_EQ(numberText(c.value), c.text) << c.text;
    for (double value : {0.1, 1.0 / 3, 123456.789, 2.9999999, 1e-7, 6.02e23}) {
        EXPECT_EQ(std::stod(numberText(value)), value);
    }
}

TEST(ScreenGeometry, WritesAndReadsItsJSONKeys) {
    const ScreenGeometry screen = ScreenGeometry::of(1179, 2556, 3);
    EXPECT_EQ(JSON::encode(screen),
              R"({"height_pt":852,"height_px":2556,"scale":3.0,"width_pt":393,"width_px":1179})");
    EXPECT_EQ(nlohmann::json(screen).get<ScreenGeometry>(), screen);

    const auto odd = nlohmann::json::parse(
        R"({"width_px":3,"height_px":5,"width_pt":2,"height_pt":3,"scale":1.5})");
    EXPECT_EQ(odd.get<ScreenGeometry>(), (ScreenGeometry{3, 5, 2, 3, 1.5}));
    EXPECT_THROW(nlohmann::json::parse(R"({"width_px":3})").get<ScreenGeometry>(),
                 nlohmann::json::exception);
}

}  // namespace
}  // namespace tavrel
