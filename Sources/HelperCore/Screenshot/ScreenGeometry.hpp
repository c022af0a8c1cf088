#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace tavrel {

/// The device's screen: its size in pixels and in points, and pixels per point.
struct ScreenGeometry {
    int widthPx = 0;
    int heightPx = 0;
    int widthPt = 0;
    int heightPt = 0;
    double scale = 0;

    bool operator==(const ScreenGeometry&) const = default;

    /// Rounds (halves away from zero) the pixel sizes and the pixel sizes divided by the
    /// scale. Throws `HelperFailure` 502 "the device reports no screen size ({w}x{h} at {s}x)"
    /// unless both pixel sizes are finite and at least 1 and the scale finite and above 0; also
    /// when a size does not fit an int or the point size rounds to nothing, since no screen
    /// can be shown or touched with those.
    static ScreenGeometry of(double pixelWidth, double pixelHeight, double scale);
};

void to_json(nlohmann::json& json, const ScreenGeometry& screen);
/// Reads the five keys; throws `nlohmann::json::exception` when one is missing or of the
/// wrong type.
void from_json(const nlohmann::json& json, ScreenGeometry& screen);

/// A number as messages write it: the shortest decimal that reads back exactly, integral
/// values with a trailing ".0" (1179.0), "nan", "inf" and "-inf" for the non-finite ones,
/// and an exponent ("1e-05", "2.5e+20") for very small or very large magnitudes.
std::string numberText(double value);

}  // namespace tavrel
