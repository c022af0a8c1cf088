#include "HelperCore/Screenshot/Screen.hpp"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "HelperCore/Base/HelperFailure.hpp"
#include "HelperCore/Base/JSONMembers.hpp"

namespace tavrel {

namespace SurfaceChoice {

std::optional<std::size_t> pick(const std::vector<std::pair<std::int64_t, std::int64_t>>& surfaces,
                                const ScreenGeometry& screen) {
    std::optional<std::size_t> largest;
    // Sides of up to 2^63 multiply to less than 2^126: no overflow.
    unsigned __int128 largestArea = 0;
    for (std::size_t index = 0; index < surfaces.size(); ++index) {
        const auto [width, height] = surfaces[index];
        if (width <= 0 || height <= 0) continue;
        if ((width == screen.widthPx && height == screen.heightPx) ||
            (width == screen.heightPx && height == screen.widthPx))
            return index;
        const auto area =
            static_cast<unsigned __int128>(width) * static_cast<unsigned __int128>(height);
        if (!largest || area > largestArea) {
            largest = index;
            largestArea = area;
        }
    }
    return largest;
}

}  // namespace SurfaceChoice

void to_json(nlohmann::json& json, const Crop& crop) {
    json = nlohmann::json{
        {"x", crop.x}, {"y", crop.y}, {"width", crop.width}, {"height", crop.height}};
}

void from_json(const nlohmann::json& json, Crop& crop) {
    // Hosts match on a crop's failures as they were first worded.
    const JSONMembers members(json, "a crop", JSONMembers::Wording::keyFirst);
    crop = Crop{members.requiredNumber("x"), members.requiredNumber("y"),
                members.requiredNumber("width"), members.requiredNumber("height")};
}

namespace {

// 2^63: the first double past the signed 64-bit range (its lower end, -2^63, is inside).
constexpr double int64Limit = 9223372036854775808.0;

/// An edge already rounded to a whole number, or nothing when it is not finite or does not
/// fit a signed 64-bit integer.
std::optional<std::int64_t> wholeEdge(double edge) {
    if (!std::isfinite(edge) || edge < -int64Limit || edge >= int64Limit) return std::nullopt;
    return static_cast<std::int64_t>(edge);
}

PixelRect cut(const std::optional<Crop>& crop, std::int64_t width, std::int64_t height,
              const ScreenGeometry& screen) {
    if (!crop) return PixelRect{0, 0, width, height};
    // Pixels of this surface per point; one factor for both axes.
    const double factor =
        static_cast<double>(width) / static_cast<double>(std::max(1, screen.widthPt));
    const auto left = wholeEdge(std::floor(crop->x * factor));
    const auto top = wholeEdge(std::floor(crop->y * factor));
    const auto right = wholeEdge(std::ceil((crop->x + crop->width) * factor));
    const auto bottom = wholeEdge(std::ceil((crop->y + crop->height) * factor));
    if (left && top && right && bottom) {
        const std::int64_t l = std::max<std::int64_t>(0, *left);
        const std::int64_t t = std::max<std::int64_t>(0, *top);
        const std::int64_t r = std::min(width, *right);
        const std::int64_t b = std::min(height, *bottom);
        if (r > l && b > t) return PixelRect{l, t, r - l, b - t};
    }
    throw HelperFailure("the region " + numberText(crop->x) + "," + numberText(crop->y) + " " +
                            numberText(crop->width) + "x" + numberText(crop->height) +
                            " is not on the screen",
                        400);
}

}  // namespace

ScreenshotPlan ScreenshotPlan::make(const ScreenshotRequest& request, std::int64_t surfaceWidth,
                                    std::int64_t surfaceHeight, const ScreenGeometry& screen) {
    if (surfaceWidth < 1 || surfaceHeight < 1)
        throw HelperFailure("the screen has no picture yet", 503);
    if (request.maxWidth < 1) throw HelperFailure("max_width must be at least 1", 400);
    if (request.quality < 1 || request.quality > 100)
        throw HelperFailure("quality must be 1 to 100", 400);
    ScreenshotPlan plan;
    plan.source = cut(request.crop, surfaceWidth, surfaceHeight, screen);
    // Pictures are never enlarged.
    plan.width = std::min(request.maxWidth, plan.source.width);
    const double height =
        std::round(static_cast<double>(plan.width) * static_cast<double>(plan.source.height) /
                   static_cast<double>(plan.source.width));
    // Never taller than the source, which also keeps the conversion in range.
    plan.height = height >= static_cast<double>(plan.source.height)
                      ? plan.source.height
                      : std::max<std::int64_t>(1, static_cast<std::int64_t>(height));
    plan.quality = static_cast<double>(request.quality) / 100.0;
    return plan;
}

}  // namespace tavrel
