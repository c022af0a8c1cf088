#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSON.hpp"
#include "HelperCore/Base/JSONMembers.hpp"
#include "HelperCore/Screenshot/Screen.hpp"

namespace tavrel {
namespace {

const ScreenGeometry phone{1179, 2556, 393, 852, 3.0};

TEST(SurfaceChoice, PrefersTheScreenSizeThenTheLargestSurface) {
    using Surfaces = std::vector<std::pair<std::int64_t, std::int64_t>>;
    struct Case {
        Surfaces surfaces;
        std::optional<std::size_t> expected;
    };
    const Case cases[] = {
        // The quarter-turned match comes first and wins over the upright one after it.
        {{{0, 0}, {2556, 1179}, {1179, 2556}}, 1},
        // A match wins over a larger surface before it.
        {{{4000, 4000}, {1179, 2556}}, 1},
        // No match: the largest, the earliest among equal areas.
        {{{100, 100}, {200, 50}}, 0},
        {{{10, 10}, {300, 300}, {100, 900}}, 1},
        // Surfaces with a side of zero or less are never chosen, even when larger.
        {{{-3000, -3000}, {5, 5}}, 1},
        {{{1179, 0}, {0, 2556}, {1, 1}}, 2},
        {{}, std::nullopt},
        {{{0, 0}, {-1, 5}}, std::nullopt},
        // Areas beyond the 64-bit range are still ordered.
        {{{std::int64_t{1} << 40, std::int64_t{1} << 40},
          {std::int64_t{1} << 62, std::int64_t{1} << 30}},
         1},
    };
    for (const auto& c : cases) EXPECT_EQ(SurfaceChoice::pick(c.surfaces, phone), c.expected);
}

void expectFailure(const ScreenshotRequest& request, std::int64_t width, std::int64_t height,
                   const std::string& message, int status) {
    try {
        ScreenshotPlan::make(request, width, height, phone);
        ADD_FAILURE() << "planned, expected: " << message;
    } catch (const HelperFailure& failure) {
        EXPECT_EQ(failure.message(), message);
        EXPECT_EQ(failure.status(), status) << message;
    }
}

TEST(ScreenshotPlan, ChecksTheSurfaceThenWidthThenQualityThenTheCrop) {
    const Crop offScreen{500, 0, 10, 10};
    const std::string offMessage = "the region 500.0,0.0 10.0x10.0 is not on the screen";
    struct Case {
        ScreenshotRequest request;
        std::int64_t width, height;
        std::string message;
        int status;
    };
    const Case cases[] = {
        {{0, 0, offScreen}, 0, 0, "the screen has no picture yet", 503},
        {{400, 75, {}}, 1179, 0, "the screen has no picture yet", 503},
        {{400, 75, {}}, -1, 2556, "the screen has no picture yet", 503},
        {{0, 0, offScreen}, 1179, 2556, "max_width must be at least 1", 400},
        {{-5, 75, {}}, 1179, 2556, "max_width must be at least 1", 400},
        {{400, 0, offScreen}, 1179, 2556, "quality must be 1 to 100", 400},
        {{400, 101, {}}, 1179, 2556, "quality must be 1 to 100", 400},
        {{400, 100, offScreen}, 1179, 2556, offMessage, 400},
    };
    for (const auto& c : cases) expectFailure(c.request, c.width, c.height, c.message, c.status);
}

TEST(ScreenshotPlan, KeepsTheAspectNeverEnlargesAndRoundsHalvesAwayFromZero) {
    struct Case {
        ScreenshotRequest request;
        std::int64_t width, height;
        ScreenshotPlan expected;
    };
    const auto unlimited = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {{unlimited, 75, {}}, 1179, 2556, {{0, 0, 1179, 2556}, 1179, 2556, 0.75}},
        // 400 x 2556 / 1179 = 867.18...
        {{400, 100, {}}, 1179, 2556, {{0, 0, 1179, 2556}, 400, 867, 1.0}},
        {{5000, 1, {}}, 1179, 2556, {{0, 0, 1179, 2556}, 1179, 2556, 0.01}},
        // 2 x 5 / 4 = 2.5 gives 3 (not 2, as halves to even or truncation would).
        {{2, 50, {}}, 4, 5, {{0, 0, 4, 5}, 2, 3, 0.5}},
        // 10 x 1 / 1000 rounds to 0; the height is at least 1.
        {{10, 75, {}}, 1000, 1, {{0, 0, 1000, 1}, 10, 1, 0.75}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ScreenshotPlan::make(c.request, c.width, c.height, phone), c.expected)
            << c.request.maxWidth << " on " << c.width << "x" << c.height;
}

TEST(ScreenshotPlan, CutsTheCropInSurfacePixelsAndTrimsItToTheSurface) {
    struct Case {
        Crop crop;
        std::int64_t width, height;
        PixelRect expected;
    };
    const Case cases[] = {
        // f = 3: left floor(31.5) = 31, right ceil(331.5) = 332.
        {{10.5, 0, 100, 100}, 1179, 2556, {31, 0, 301, 300}},
        // A half-size surface has its own factor, the same for both axes.
        {{10, 20, 30, 40}, 786, 1704, {20, 40, 60, 80}},
        // Partly off the screen: trimmed to what remains.
        {{-10, -10, 20, 20}, 1179, 2556, {0, 0, 30, 30}},
        {{390, 850, 100, 100}, 1179, 2556, {1170, 2550, 9, 6}},
        // A tiny crop still takes the whole pixels it touches.
        {{1.1, 1.1, 0.1, 0.1}, 1179, 2556, {3, 3, 1, 1}},
    };
    for (const auto& c : cases) {
        const auto plan = ScreenshotPlan::make({1000000, 75, c.crop}, c.width, c.height, phone);
        EXPECT_EQ(plan.source, c.expected) << c.crop.x << "," << c.crop.y;
        EXPECT_EQ(plan.width, c.expected.width);
    }
}

TEST(ScreenshotPlan, RefusesCropsOffTheScreenOrBeyondAnyPixelNumber) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        Crop crop;
        std::string region;
    };
    const Case cases[] = {
        {{10, 20, 0, 50}, "10.0,20.0 0.0x50.0"},
        {{393, 0, 10, 10}, "393.0,0.0 10.0x10.0"},
        {{0, 0, -5, 10}, "0.0,0.0 -5.0x10.0"},
        {{0, 852.5, 10, 10}, "0.0,852.5 10.0x10.0"},
        {{nan, 0, 10, 10}, "nan,0.0 10.0x10.0"},
        {{0, 0, inf, 10}, "0.0,0.0 infx10.0"},
        {{-inf, 0, inf, 10}, "-inf,0.0 infx10.0"},
        // Would cover the screen, but its edges do not fit a 64-bit pixel number.
        {{-1e300, 0, 2e300, 10}, "-1e+300,0.0 2e+300x10.0"},
        {{0, 0, 1e300, 10}, "0.0,0.0 1e+300x10.0"},
        {{0, 0, 4e18, 10}, "0.0,0.0 4e+18x10.0"},
    };
    for (const auto& c : cases)
        expectFailure({100, 75, c.crop}, 1179, 2556,
                      "the region " + c.region + " is not on the screen", 400);
}

TEST(Crop, ReadsAndWritesItsFourNumbers) {
    EXPECT_EQ(JSON::encode(Crop{1.5, 2, 3, 4}), R"({"height":4.0,"width":3.0,"x":1.5,"y":2.0})");
    const auto read =
        nlohmann::json::parse(R"({"x":-1,"y":2.5,"width":1e300,"height":0,"z":1})").get<Crop>();
    EXPECT_EQ(read.x, -1);
    EXPECT_EQ(read.y, 2.5);
    EXPECT_EQ(read.width, 1e300);
    EXPECT_EQ(read.height, 0);
    // Hosts match on these words.
    const struct {
        const char* document;
        const char* failure;
    } bad[] = {
        {R"({"x":1,"y":2,"width":3})", "key 'height' not found"},
        {R"({"x":1,"y":2,"width":3,"height":null})", "key 'height' not found"},
        {R"({"x":1,"y":2,"width":3,"height":"4"})", "\"height\" must be a number, but is string"},
        {R"({"x":[],"y":2,"width":3,"height":4})", "\"x\" must be a number, but is array"},
        {"[1,2,3,4]", "a crop must be an object, but is array"},
    };
    for (const auto& c : bad) {
        try {
            nlohmann::json::parse(c.document).get<Crop>();
            ADD_FAILURE() << "read " << c.document;
        } catch (const JSONMemberError& error) {
            EXPECT_STREQ(error.what(), c.failure) << c.document;
        }
    }
}

}  // namespace
}  // namespace tavrel
