#include "HelperCore/Screenshot/ScreenGeometry.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <nlohmann/json.hpp>

#include "HelperCore/Base/HelperFailure.hpp"

namespace tavrel {

namespace {

// Beyond 2^53 the integral digits stop being exact, so such values read better with an exponent.
constexpr double largestFixed = 9007199254740992.0;

// Rounded half away from zero; none when the result would not be a usable size.
bool roundedSize(double value, int& result) {
    const double rounded = std::round(value);
    if (!(rounded >= 1 && rounded <= INT_MAX)) return false;
    result = static_cast<int>(rounded);
    return true;
}

}  // namespace

std::string numberText(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // The shortest digits that read back exactly, as d.ddde±XX.
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (error != std::errc()) return "nan";
    const std::string scientific(buffer, end);

    const bool negative = scientific.front() == '-';
    const auto mark = scientific.find('e');
    std::string digits;
    for (std::size_t i = negative ? 1 : 0; i < mark; ++i) {
        if (scientific[i] != '.') digits += scientific[i];
    }
    const int exponent = std::stoi(scientific.substr(mark + 1));
    const double magnitude = std::fabs(value);
    if (magnitude != 0 && (exponent < -4 || magnitude > largestFixed)) return scientific;

    std::string text = negative ? "-" : "";
    if (magnitude == 0) return text + "0.0";
    if (exponent < 0) return text + "0." + std::string(-exponent - 1, '0') + digits;
    const auto integralLength = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integralLength) {
        return text + digits + std::string(integralLength - digits.size(), '0') + ".0";
    }
    return text + digits.substr(0, integralLength) + "." + digits.substr(integralLength);
}

ScreenGeometry ScreenGeometry::of(double pixelWidth, double pixelHeight, double scale) {
    ScreenGeometry screen;
    const bool valid = std::isfinite(pixelWidth) && std::isfinite(pixelHeight) &&
                       std::isfinite(scale) && pixelWidth >= 1 && pixelHeight >= 1 && scale > 0 &&
                       roundedSize(pixelWidth, screen.widthPx) &&
                       roundedSize(pixelHeight, screen.heightPx) &&
                       roundedSize(pixelWidth / scale, screen.widthPt) &&
                       roundedSize(pixelHeight / scale, screen.heightPt);
    if (!valid) {
        throw HelperFailure("the device reports no screen size (" + numberText(pixelWidth) + "x" +
                                numberText(pixelHeight) + " at " + numberText(scale) + "x)",
                            502);
    }
    screen.scale = scale;
    return screen;
}

void to_json(nlohmann::json& json, const ScreenGeometry& screen) {
    json = nlohmann::json{{"width_px", screen.widthPx},
                          {"height_px", screen.heightPx},
                          {"width_pt", screen.widthPt},
                          {"height_pt", screen.heightPt},
                          {"scale", screen.scale}};
}

void from_json(const nlohmann::json& json, ScreenGeometry& screen) {
    json.at("width_px").get_to(screen.widthPx);
    json.at("height_px").get_to(screen.heightPx);
    json.at("width_pt").get_to(screen.widthPt);
    json.at("height_pt").get_to(screen.heightPt);
    json.at("scale").get_to(screen.scale);
}

}  // namespace tavrel
