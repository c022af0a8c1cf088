#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <utility>
#include <vector>

#include "HelperCore/Base/Bytes.hpp"
#include "HelperCore/Screenshot/ScreenGeometry.hpp"

namespace tavrel {

/// Which of the pictures a device offers shows its screen.
namespace SurfaceChoice {

/// The index of the first surface of the screen's pixel size, upright or turned a quarter;
/// failing that, of the largest surface (the earliest among equals). Surfaces with a side of
/// 0 or less are never chosen; nothing when none is left.
std::optional<std::size_t> pick(const std::vector<std::pair<std::int64_t, std::int64_t>>& surfaces,
                                const ScreenGeometry& screen);

}  // namespace SurfaceChoice

/// A rectangle in screen points, as a screenshot request asks for it. Any number is taken
/// when reading; ranges are judged when the screenshot is planned.
struct Crop {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const Crop&) const = default;
};

void to_json(nlohmann::json& json, const Crop& crop);
/// Needs all four keys as numbers; throws `JSONMemberError` otherwise.
void from_json(const nlohmann::json& json, Crop& crop);

/// A rectangle in a picture's pixels, origin at the top left.
struct PixelRect {
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const PixelRect&) const = default;
};

/// What a client asked of one screenshot. The defaults are those of a request that names
/// neither: no width limit, quality 75, the whole screen.
struct ScreenshotRequest {
    std::int64_t maxWidth = std::numeric_limits<std::int64_t>::max();
    std::int64_t quality = 75;
    std::optional<Crop> crop;

    bool operator==(const ScreenshotRequest&) const = default;
};

/// The numbers of one screenshot: which pixels to cut, the output size and the JPEG quality.
struct ScreenshotPlan {
    PixelRect source;
    std::int64_t width = 0;
    std::int64_t height = 0;
    /// 0.01 to 1.00.
    double quality = 0;

    bool operator==(const ScreenshotPlan&) const = default;

    /// Checks, in this order: a surface of at least 1 x 1 (503 "the screen has no picture
    /// yet"), `maxWidth` at least 1 and `quality` 1 to 100 (400), then a crop that leaves some
    /// of the surface (400 "the region {x},{y} {width}x{height} is not on the screen"). The
    /// crop is trimmed to the surface; the output keeps the source's aspect and is never
    /// wider than the source.
    static ScreenshotPlan make(const ScreenshotRequest& request, std::int64_t surfaceWidth,
                               std::int64_t surfaceHeight, const ScreenGeometry& screen);
};

/// An encoded screenshot: the bytes of a JPEG file and its pixel size.
struct JPEG {
    Bytes data;
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const JPEG&) const = default;
};

}  // namespace tavrel
